// The identity record in a driver-port box's serial EEPROM.
#include <string.h>

#include <functional>

#include <gmock/gmock.h>

#include "port_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class IdentityTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    hostwin::AddPortBox(0);
    PutEeprom(0, 0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xEE});
    lib_ = std::make_unique<Library>();
    ASSERT_NE(lib_->OpenPosInterface(0), -1);
    hostwin::ClearTrace();
  }
  // Driver requests between the operation's CreateFileA and CloseHandle.
  static size_t RequestsInsideOneOpen() {
    EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 1u);
    EXPECT_EQ(hostwin::CountCalls("CloseHandle"), 1u);
    return Requests() - 1;  // less the open's status read
  }
  std::unique_ptr<Library> lib_;
};

TEST_F(IdentityTest, FieldsAreLittleEndianAtAddresses0_4_8) {
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0x04030201u);
  EXPECT_EQ(lib_->GetSerialNumber(), 0x08070605u);
  EXPECT_EQ(lib_->GetMfgDate(), 0x0C0B0A09u);
}

// A deselect first, one read instruction for the field's four bytes (the part's sequential
// read), and two pin writes per bit sent; after each byte written one look at a part that is
// ready at once, and the next instruction's start bit without a second select.
TEST_F(IdentityTest, AFieldReadCosts119TransfersAndAWrite201) {
  EXPECT_EQ(lib_->GetSerialNumber(), 0x08070605u);
  EXPECT_EQ(RequestsInsideOneOpen(), 119u);
  hostwin::ClearTrace();
  EXPECT_EQ(lib_->SetSerialNumber(0x12345678), 1);
  EXPECT_EQ(RequestsInsideOneOpen(), 201u);
  EXPECT_EQ(Box(0).unknown, 0u);
}

TEST_F(IdentityTest, SerialWriteStoresLeastSignificantByteFirstAndTouchesNothingElse) {
  EXPECT_EQ(lib_->SetSerialNumber(0x12345678), 1);
  const uint8_t* m = Box(0).eeprom.memory;
  EXPECT_THAT(std::vector<uint8_t>(m, m + 13), ElementsAre(0x01, 0x02, 0x03, 0x04, 0x78, 0x56, 0x34,
                                                           0x12, 0x09, 0x0A, 0x0B, 0x0C, 0xEE));
  EXPECT_EQ(lib_->GetSerialNumber(), 0x12345678u);
  EXPECT_EQ(Box(0).eeprom.writeEnabled, false);  // bracketed by write enable and disable
  ASSERT_EQ(hostwin::Beeps().size(), 1u);
  EXPECT_EQ(hostwin::Beeps()[0].type, 0u);
}

// A write of the counter, and only one of the counter, also moves the box's count of
// counter writes, which the other callers' libraries read.
TEST_F(IdentityTest, EachWriteTouchesOnlyItsField) {
  const uint32_t counterWrites = CounterWrites(0);
  EXPECT_EQ(lib_->SetMfgDate(0xA1B2C3D4), 1);
  EXPECT_EQ(EepromField(0, 8), 0xA1B2C3D4u);
  EXPECT_EQ(EepromField(0, 0), 0x04030201u);
  EXPECT_EQ(EepromField(0, 4), 0x08070605u);
  EXPECT_EQ(CounterWrites(0), counterWrites);
  EXPECT_EQ(lib_->SetLastOpenCnt(77), 1);
  EXPECT_EQ(EepromField(0, 0), 77u);
  EXPECT_EQ(CounterWrites(0), counterWrites + 1);
  EXPECT_EQ(EepromField(0, 4), 0x08070605u);
  EXPECT_EQ(EepromField(0, 8), 0xA1B2C3D4u);
  EXPECT_EQ(Box(0).eeprom.memory[12], 0xEE);
  EXPECT_EQ(hostwin::Beeps().size(), 2u);
}

TEST_F(IdentityTest, AnErasedRecordReadsAllOnes) {
  for (int i = 0; i < 12; ++i) Box(0).eeprom.memory[i] = 0xFF;
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0xFFFFFFFFu);
  EXPECT_EQ(lib_->GetSerialNumber(), 0xFFFFFFFFu);
  EXPECT_EQ(lib_->GetMfgDate(), 0xFFFFFFFFu);
}

TEST_F(IdentityTest, WithTheDeviceUnavailableReadsAre0WritesFalseAndNothingBeeps) {
  hostwin::RemovePortBox(0);
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 0x04030201u);  // still the copy from the open
  EXPECT_EQ(lib_->SetMfgDate(5), 0);
  EXPECT_THAT(hostwin::Beeps(), IsEmpty());
}

TEST_F(IdentityTest, AWriteWhoseTransfersFailReportsFalseAndDoesNotBeep) {
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x15 && cmd[2] == 0x78);  // a data-bit clock edge fails
  });
  EXPECT_EQ(lib_->SetSerialNumber(0xFFFFFFFF), 0);
  EXPECT_EQ(lib_->SetLastOpenCnt(0xFFFFFFFF), 0);
  EXPECT_THAT(hostwin::Beeps(), IsEmpty());
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 0x04030201u);  // the failed counter write left the copy
  // After one failed clock edge (in the first byte's write instruction) the part is given its
  // time and the write disable goes out all the same.
  int edges = 0;
  hostwin::OnDeviceRequest([&edges](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x15 && cmd[2] == 0x78 && ++edges == 5);
  });
  EXPECT_EQ(lib_->SetSerialNumber(0x12345678), 0);
  EXPECT_FALSE(Box(0).eeprom.writeEnabled);
  hostwin::OnDeviceRequest(nullptr);
}

// A write disable that fails after the bytes are programmed leaves the write done; the next
// operation on the box, this process's or another's, sends it.
TEST_F(IdentityTest, AWriteDisableThatFailsIsSentByTheNextOperation) {
  // Every pin write fails once the part has shown the last byte programmed.
  const uint32_t programmed = Box(0).eeprom.bytesProgrammed;
  auto done = std::make_shared<bool>(false);
  hostwin::OnDeviceRequest([this, programmed, done](int, uint32_t, const uint8_t* cmd) {
    *done = *done || (cmd[0] == 0x14 && Box(0).eeprom.bytesProgrammed == programmed + 4);
    return !(*done && cmd[0] == 0x15);
  });
  EXPECT_EQ(lib_->SetSerialNumber(0x12345678), 1);
  EXPECT_TRUE(Box(0).eeprom.writeEnabled);
  hostwin::OnDeviceRequest(nullptr);
  EXPECT_EQ(lib_->GetMfgDate(), 0x0C0B0A09u);
  EXPECT_FALSE(Box(0).eeprom.writeEnabled);
}

TEST_F(IdentityTest, AReadWhoseTransfersFailReturns0AndKeepsTheCopy) {
  PutEeprom(0, 0, {0x10, 0, 0, 0});
  int samples = 0;
  hostwin::OnDeviceRequest([&samples](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x14 && cmd[1] == 0x00 && ++samples == 20);
  });
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 0x04030201u);
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0x10u);  // the next complete read is taken over
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 0x10u);
}

TEST_F(IdentityTest, SetLastOpenCntThenCloseStoresItPlusEveryOpeningOfTheSession) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  EXPECT_EQ(lib_->SetLastOpenCnt(500), 1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 502u);
  EXPECT_EQ(hostwin::Beeps().size(), 2u);  // the setter and the write-back
}

TEST_F(IdentityTest, WithNoKickTheSetValueStays) {
  EXPECT_EQ(lib_->SetLastOpenCnt(500), 1);
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 500u);
}

TEST_F(IdentityTest, ACounterNeverReadInTheSessionIsNotReplacedByTheLocalCount) {
  lib_->ClosePosInterface();
  // The counter load at the open fails, and so does every later read of it.
  hostwin::OnDeviceRequest(
      [](int, uint32_t, const uint8_t* cmd) { return !(cmd[0] == 0x14 && cmd[1] == 0x00); });
  ASSERT_NE(lib_->OpenPosInterface(0), -1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 0x04030201u);
  // Owed to the box: the next call that can read the counter adds the opening to it.
  hostwin::OnDeviceRequest(nullptr);
  lib_->GetNumPos();
  EXPECT_EQ(EepromField(0, 0), 0x04030202u);
}

}  // namespace

namespace {

// On a part that programs for 3 ms, with requests that take no time (so that every write
// meets a busy part): a field write, a date write and a close whose counter carries out of
// its low byte land whole, change no other byte and leave writes disabled. (No start bit
// goes into the busy part: every export's check says so.)
TEST_F(IdentityTest, OnAPartThatProgramsFor3msEveryWriteLandsWhole) {
  using Lib = std::unique_ptr<Library>;
  const struct {
    const char* name;
    std::function<void(Lib&)> write;
    uint8_t address;
    uint32_t value;
  } writes[] = {
      {"serial number", [](Lib& l) { EXPECT_EQ(l->SetSerialNumber(0x12345678), 1); }, 4,
       0x12345678},
      {"date", [](Lib& l) { EXPECT_EQ(l->SetMfgDate(0x20261209), 1); }, 8, 0x20261209},
      {"close after a kick, 255 + 1",
       [](Lib& l) {
         ASSERT_EQ(l->KasseOpen(), 1);
         hostwin::AdvanceMs(100);
         l->ClosePosInterface();
       },
       0, 256},
  };
  for (const auto& w : writes) {
    SCOPED_TRACE(w.name);
    lib_.reset();
    hostwin::Reset();
    hostwin::AddPortBox(0).eeprom.programUs = 3000;
    for (int i = 0; i < 128; ++i) Box(0).eeprom.memory[i] = static_cast<uint8_t>(0xC0 ^ i);
    PutEeprom(0, 0, {0xFF, 0, 0, 0});
    uint8_t before[128];
    memcpy(before, Box(0).eeprom.memory, sizeof before);
    lib_ = std::make_unique<Library>();
    ASSERT_NE(lib_->OpenPosInterface(0), -1);
    w.write(lib_);
    EXPECT_EQ(EepromField(0, w.address), w.value);
    for (int i = 0; i < 128; ++i) {
      if (i >= w.address && i < w.address + 4) continue;
      EXPECT_EQ(Box(0).eeprom.memory[i], before[i]) << i;
    }
    EXPECT_FALSE(Box(0).eeprom.writeEnabled);
    EXPECT_EQ(Box(0).eeprom.ignoredWhileBusy, 0u);
  }
}

// A part that never gets ready: the write gives up within 500 ms, sends nothing more into
// it, and says so; once the part is sound again, the next read returns what the box holds
// and leaves writes disabled.
TEST_F(IdentityTest, APartThatNeverGetsReadyFailsTheWriteWithin500ms) {
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t*) {
    hostwin::AdvanceUs(1000);  // a millisecond a request, as on the box's USB controller
    return true;
  });
  Box(0).eeprom.neverReady = true;
  const uint64_t start = hostwin::NowUs();
  EXPECT_EQ(lib_->SetSerialNumber(0x12345678), 0);
  EXPECT_LE(hostwin::NowUs() - start, 500000u);
  EXPECT_TRUE(hostwin::Beeps().empty());
  EXPECT_EQ(Box(0).eeprom.ignoredWhileBusy, 0u);
  // While it stays stuck, a call gives it one look and fails at once.
  const uint64_t again = hostwin::NowUs();
  EXPECT_EQ(lib_->GetSerialNumber(), 0u);
  EXPECT_LE(hostwin::NowUs() - again, 10000u);
  Box(0).eeprom.neverReady = false;
  EXPECT_EQ(lib_->GetSerialNumber(), 0x08070605u);
  EXPECT_FALSE(Box(0).eeprom.writeEnabled);
  hostwin::OnDeviceRequest(nullptr);
}

}  // namespace

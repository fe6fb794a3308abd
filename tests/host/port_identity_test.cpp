// The identity record in a driver-port box's serial EEPROM.
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

TEST_F(IdentityTest, EachWriteTouchesOnlyItsField) {
  EXPECT_EQ(lib_->SetMfgDate(0xA1B2C3D4), 1);
  EXPECT_EQ(EepromField(0, 8), 0xA1B2C3D4u);
  EXPECT_EQ(EepromField(0, 0), 0x04030201u);
  EXPECT_EQ(EepromField(0, 4), 0x08070605u);
  EXPECT_EQ(lib_->SetLastOpenCnt(77), 1);
  EXPECT_EQ(EepromField(0, 0), 77u);
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

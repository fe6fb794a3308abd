// The identity record in a bridge box's user area: byte layout, reads, writes, and what
// may reach the box after a failed read.
#include <string.h>

#include <gmock/gmock.h>

#include "library.h"

using ::testing::ElementsAre;

namespace {

class UserAreaTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
    box_ = &hostwin::AddBridgeBox(0, userAreaSize());
    const uint8_t record[16] = {0x64, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12,
                                0x31, 0x12, 0xAA, 0xBB, 0x08, 0x20, 0xCC, 0xDD};
    memcpy(box_->userArea, record, sizeof record);
    lib_ = std::make_unique<Library>();
    ASSERT_NE(lib_->OpenPosInterface(0), -1);
    hostwin::ClearTrace();
  }
  virtual uint32_t userAreaSize() { return 64; }
  std::vector<uint8_t> Area() { return std::vector<uint8_t>(box_->userArea, box_->userArea + 16); }

  sim::BridgeBox* box_ = nullptr;
  std::unique_ptr<Library> lib_;
};

TEST_F(UserAreaTest, FieldsReadLittleEndianAndTheDateFromBytes8_9_12_13) {
  EXPECT_EQ(lib_->GetLastOpenCnt(), 100u);
  EXPECT_EQ(lib_->GetSerialNumber(), 0x12345678u);
  EXPECT_EQ(lib_->GetMfgDate(), 0x20081231u);
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_EE_UARead(h0,16)", "FT_Close(h0)", "FT_Open(0)",
                          "FT_EE_UARead(h0,16)", "FT_Close(h0)", "FT_Open(0)",
                          "FT_EE_UARead(h0,16)", "FT_Close(h0)"));
}

TEST_F(UserAreaTest, DateWritePutsBits16To31IntoTheWordAt12AndKeepsBytes10And11) {
  memset(box_->userArea + 8, 0, 8);
  box_->userArea[10] = 0xAA;
  box_->userArea[11] = 0xBB;
  box_->userArea[14] = 0xEE;
  EXPECT_EQ(lib_->SetMfgDate(0x20081231), 1);
  EXPECT_THAT(Area(), ElementsAre(0x64, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x31, 0x12, 0xAA, 0xBB,
                                  0x08, 0x20, 0x00, 0x00));
  EXPECT_EQ(lib_->GetMfgDate(), 0x20081231u);
}

TEST_F(UserAreaTest, SerialAndCounterWritesTouchOnlyTheirBytes) {
  EXPECT_EQ(lib_->SetSerialNumber(0xA1B2C3D4), 1);
  EXPECT_THAT(Area(), ElementsAre(0x64, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1, 0x31, 0x12, 0xAA, 0xBB,
                                  0x08, 0x20, 0xCC, 0xDD));
  EXPECT_EQ(lib_->SetLastOpenCnt(0x01020304), 1);
  EXPECT_THAT(Area(), ElementsAre(0x04, 0x03, 0x02, 0x01, 0xD4, 0xC3, 0xB2, 0xA1, 0x31, 0x12, 0xAA,
                                  0xBB, 0x08, 0x20, 0xCC, 0xDD));
}

TEST_F(UserAreaTest, ASetterReadsTheBoxFirstSoOtherFieldsAreNotWrittenStale) {
  // Another process sets a new serial number after this one cached the record.
  box_->userArea[4] = 0x99;
  EXPECT_EQ(lib_->SetMfgDate(0x00010002), 1);
  EXPECT_EQ(box_->userArea[4], 0x99);
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_EE_UARead(h0,16)",
                          "FT_EE_UAWrite(h0,64 00 00 00 99 56 34 12 02 00 aa bb 01 00 00 00)",
                          "FT_Close(h0)"));
}

TEST_F(UserAreaTest, ASetterWhoseReadFailsWritesNothing) {
  const struct {
    bool fails;
    int32_t limit;
  } cases[] = {{true, -1}, {false, 15}, {false, 0}};
  for (const auto& c : cases) {
    box_->faults.uaReadFails = c.fails;
    box_->faults.uaReadLimit = c.limit;
    EXPECT_EQ(lib_->SetSerialNumber(1), 0);
    EXPECT_EQ(lib_->SetMfgDate(1), 0);
    EXPECT_EQ(lib_->SetLastOpenCnt(1), 0);
    EXPECT_EQ(box_->userAreaWrites, 0u);
    EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
  }
}

TEST_F(UserAreaTest, SetLastOpenCntOfTheStoredValueWritesNothing) {
  EXPECT_EQ(lib_->SetLastOpenCnt(100), 1);
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_EE_UARead(h0,16)", "FT_Close(h0)"));
  EXPECT_EQ(box_->userAreaWrites, 0u);
}

// Nor is the record it meant to write: a close whose read of the record fails then writes
// nothing, and its opening lands once the record can be read again.
TEST_F(UserAreaTest, AFailedWriteReportsFalse) {
  box_->faults.uaWriteFails = true;
  EXPECT_EQ(lib_->SetSerialNumber(5), 0);
  EXPECT_EQ(box_->userArea[4], 0x78);
  EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
  // The counter it meant to write is not taken for the box's.
  EXPECT_EQ(lib_->SetLastOpenCnt(500), 0);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 100u);

  box_->faults.uaWriteFails = false;
  ASSERT_EQ(lib_->KasseOpen(), 1);
  box_->faults.uaReadFails = true;
  lib_->ClosePosInterface();
  EXPECT_EQ(box_->userAreaWrites, 0u);
  box_->faults.uaReadFails = false;
  lib_->GetNumPos();
  EXPECT_THAT(Area(), ElementsAre(0x65, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x31, 0x12, 0xAA, 0xBB,
                                  0x08, 0x20, 0xCC, 0xDD));
}

TEST_F(UserAreaTest, AFailedGetterReturnsZeroAndKeepsTheCompleteCache) {
  box_->faults.uaReadLimit = 12;
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0u);
  EXPECT_EQ(lib_->GetSerialNumber(), 0u);
  box_->faults.uaReadLimit = -1;
  box_->faults.uaReadFails = true;
  EXPECT_EQ(lib_->GetMfgDate(), 0u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 100u);
  hostwin::RemoveBridgeBox(0);
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0u);
}

TEST_F(UserAreaTest, AGetterRefreshesTheCacheForTheTotal) {
  box_->userArea[0] = 120;
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 100u);
  EXPECT_EQ(lib_->GetSerialNumber(), 0x12345678u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 120u);
}

class SmallUserAreaTest : public UserAreaTest {
 protected:
  uint32_t userAreaSize() override { return 12; }
};

TEST_F(SmallUserAreaTest, EveryRecordOperationFailsButStillOpensAndClosesTheBox) {
  EXPECT_EQ(lib_->GetLastOpenCnt(), 0u);
  EXPECT_EQ(lib_->GetSerialNumber(), 0u);
  EXPECT_EQ(lib_->GetMfgDate(), 0u);
  EXPECT_EQ(lib_->SetSerialNumber(1), 0);
  EXPECT_EQ(lib_->SetMfgDate(1), 0);
  EXPECT_EQ(lib_->SetLastOpenCnt(1), 0);
  std::vector<std::string> calls = hostwin::TraceTexts("FT_");
  ASSERT_EQ(calls.size(), 12u);
  for (size_t i = 0; i < calls.size(); i += 2) {
    EXPECT_EQ(calls[i], "FT_Open(0)");
    EXPECT_EQ(calls[i + 1], "FT_Close(h0)");
  }
  // Its openings are not owed to it: no later call tries to write them.
  ASSERT_EQ(lib_->KasseOpen(), 1);
  lib_->ClosePosInterface();
  hostwin::ClearTrace();
  lib_->GetNumPos();
  EXPECT_TRUE(hostwin::TraceTexts("FT_").empty());
}

}  // namespace

namespace {

// The second box's user area cannot be read, neither at its open nor at its close: no
// record at all reaches it, least of all the first box's, and its total is its own.
TEST_F(WorldTest, ABridgeCloseNeverWritesAnotherBoxsRecord) {
  hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  sim::BridgeBox& first = hostwin::AddBridgeBox(0);
  sim::BridgeBox& second = hostwin::AddBridgeBox(1);
  for (uint8_t i = 0; i < 16; ++i) {
    first.userArea[i] = static_cast<uint8_t>(0x10 + i);
    second.userArea[i] = static_cast<uint8_t>(0xA0 + i);
  }
  const std::vector<uint8_t> secondBefore(second.userArea, second.userArea + 16);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  EXPECT_EQ(lib.GetSerialNumber(), 0x17161514u);
  lib.ClosePosInterface();

  second.faults.uaReadFails = true;
  ASSERT_NE(lib.OpenPosInterface(1), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 1u);  // its counter is unknown: not the first box's
  lib.ClosePosInterface();
  EXPECT_EQ(std::vector<uint8_t>(second.userArea, second.userArea + 16), secondBefore);
  EXPECT_EQ(second.userAreaWrites, 0u);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 1u);
}

}  // namespace

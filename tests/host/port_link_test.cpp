// Driver-port device access: the device path, the open with its status check and
// recovery, the wire images of the transfers, the probe, and numbering across variants.
#include <gmock/gmock.h>

#include <memory>

#include "port_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

TEST_F(PortTest, ScanCountsPortBoxesAndProbesThemOnTheWire) {
  hostwin::AddPortBox(0, 0xF1);
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x0001u);
  std::vector<std::string> opens = hostwin::TraceTexts("CreateFileA");
  ASSERT_EQ(opens.size(), 2u);  // the probe of box 0 (no counter read), then absent box 1
  EXPECT_EQ(opens[0], "CreateFileA(\\\\.\\Drelvan_0,0x40000000,0x2,null,3,0x0,null)");
  EXPECT_EQ(opens[1], "CreateFileA(\\\\.\\Drelvan_1,0x40000000,0x2,null,3,0x0,null)");
  std::vector<std::string> commands = Commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0], "14 14 00 00");  // the first status read after load
  EXPECT_EQ(commands[1], "14 14 00 00");
  EXPECT_EQ(commands[2], "17 2f f5 00");  // written back as read, bit 2 set
  EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);
  EXPECT_EQ(Box(0).unknown, 0u);
  // A probe whose own status read fails writes nothing back, and the box is not counted.
  auto reads = std::make_shared<int>(0);
  hostwin::OnDeviceRequest(
      [reads](int, uint32_t, const uint8_t* cmd) { return !(cmd[0] == 0x14 && ++*reads == 2); });
  hostwin::ClearTrace();
  EXPECT_EQ(lib.ScanForPos(), 0u);
  EXPECT_THAT(Commands(), ElementsAre("14 14 f5 00", "14 14 f5 00"));  // no write-back
}

TEST_F(PortTest, ABoxBehindAGapIsNotCountedButStillReachedByItsNumber) {
  hostwin::AddPortBox(0);
  hostwin::AddPortBox(2);
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x0001u);
  EXPECT_NE(lib.OpenPosInterface(2), -1);
  EXPECT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(Box(2).drawerPulses, 1u);
}

TEST_F(PortTest, TenPortBoxesAreCountedAndIndex10MakesNoSystemCall) {
  for (int i = 0; i < 10; ++i) hostwin::AddPortBox(i);
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x000Au);
  EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 10u);  // a probe per box
  EXPECT_EQ(hostwin::TraceTexts("CreateFileA").back().substr(0, 26),
            "CreateFileA(\\\\.\\Drelvan_9,");
  hostwin::ClearTrace();
  EXPECT_EQ(lib.OpenPosInterface(10), -1);
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
}

TEST_F(PortTest, AnInvalidStatusIsRecoveredOnce) {
  sim::PortBox& box = hostwin::AddPortBox(0, 0x00);
  box.validOnlyAfterRecovery = true;
  box.recoveredStatus = 0xF3;
  {
    Library lib;
    EXPECT_EQ(lib.GetNumPos(), 0x0001u);
    std::vector<std::string> recoveries = Commands("0x222031");
    ASSERT_EQ(recoveries.size(), 1u);
    EXPECT_EQ(recoveries[0], "14 14 00 00");  // the block the status read left
  }
  // Statuses that stay invalid: bit 3 set, a high bit clear, or both.
  for (uint8_t status : {0xEB, 0xF8, 0xE3}) {
    hostwin::Reset();
    hostwin::AddPortBox(0, status);
    Library again;
    EXPECT_EQ(again.GetNumPos(), 0u) << std::hex << int(status);
    EXPECT_EQ(Commands("0x222031").size(), 1u) << std::hex << int(status);
    EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);
  }
}

TEST_F(PortTest, AFailedStatusReadWithAValidOldReplyIsNotRecovered) {
  hostwin::AddPortBox(0);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  char flag = 0;
  lib.GetSwitch(&flag);  // leaves a valid status in the reply block
  ASSERT_EQ(flag, 1);
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t*) { return false; });
  hostwin::ClearTrace();
  EXPECT_EQ(lib.GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 0);
  EXPECT_THAT(Commands("0x222031"), IsEmpty());
  EXPECT_THAT(Commands(), ElementsAre("14 14 40 00"));
  EXPECT_EQ(hostwin::CountCalls("CloseHandle"), 1u);
}

TEST_F(PortTest, WireImagesCarryTheBytesTheLastTransferLeft) {
  hostwin::AddPortBox(0, 0xF2);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  // The counter load ended with a pin write of 0x40; a pin sample carries the pattern of
  // the pin write before it: 0x58 for a data bit, 0x48 for the look at a part's readiness.
  size_t dataSamples = 0;
  std::vector<std::string> commands = Commands();
  for (size_t i = 1; i < commands.size(); ++i) {
    if (commands[i].compare(0, 5, "14 00") == 0) {
      EXPECT_EQ(commands[i - 1].substr(0, 6), "15 00 ");
      EXPECT_EQ(commands[i].substr(6), commands[i - 1].substr(6));
      dataSamples += commands[i] == "14 00 58 00" ? 1 : 0;
    }
  }
  EXPECT_EQ(dataSamples, 32u);
  hostwin::ClearTrace();
  lib.GetSwitch(nullptr);
  EXPECT_THAT(Commands(), ElementsAre("14 14 40 00", "14 14 40 00"));
}

TEST_F(PortTest, NumberingPutsBridgeBoxesFirst) {
  hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  hostwin::AddBridgeBox(0);
  hostwin::AddPortBox(0);
  hostwin::AddPortBox(1);
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x0102u);
  EXPECT_EQ(lib.ScanForPos(), 0x0102u);
  ASSERT_NE(lib.OpenPosInterface(2), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(Box(1).drawerPulses, 1u);
  char fw[10] = {};
  lib.GetFirmWareVersion(fw);
  EXPECT_STREQ(fw, "Cy");
  // Opening the bridge box closes the port box first: its opening is written back.
  hostwin::RunFor(60);
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  EXPECT_EQ(EepromField(1, 0), 0u);  // an erased counter (all ones) plus one wraps
  lib.GetFirmWareVersion(fw);
  EXPECT_STREQ(fw, "FTDI>=1.6");
  EXPECT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).kicks, 1u);
}

TEST_F(PortTest, OpenTwiceOnTheDriverPortStartsTheSessionAfresh) {
  hostwin::AddPortBox(0);
  PutEeprom(0, 0, {10, 0, 0, 0});
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::RunFor(60);
  hostwin::ClearTrace();
  ASSERT_NE(lib.OpenPosInterfaceV(), -1);  // number 0 again: opened once more, no close
  EXPECT_EQ(lib.GetLocalOpenCnt(), 0u);
  EXPECT_EQ(EepromField(0, 0), 10u);  // the earlier opening was not written back
  EXPECT_EQ(hostwin::CountCalls("MessageBeep"), 0u);
}

TEST_F(PortTest, OpenOf255WithNoBoxSelectedTriesIndex255AndFailsQuietly) {
  hostwin::AddPortBox(0);
  Library lib;
  hostwin::ClearTrace();
  EXPECT_EQ(lib.OpenPosInterface(255), -1);
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
  lib.Detach();
  EXPECT_THAT(hostwin::MessageBoxes(), IsEmpty());
}

}  // namespace

// A driver-port box's named objects as other programs may have left them: a sandbox's
// session mutex that refuses this program, the session's record, and the session's twin
// mutex left by an earlier copy of the library that died inside a write; and what the unload
// leaves of them.
#include <gmock/gmock.h>

#include "port_fixture.h"

namespace {

const std::string kNames = "TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.0";

class BoxObjectsTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    hostwin::AddPortBox(0, 0xF3);
    PutEeprom(0, 4, {7, 0, 0, 0});
  }
};

// In a sandbox, another user's session mutex that refuses this program but lets it wait on
// it is not used: standing in for the machine's, it must be sound itself. (The machine's,
// and record files of another size, are rows of the sharing tests' squatter table.)
TEST_F(BoxObjectsTest, ASessionMutexThatRefusesThisProgramIsNotUsed) {
  hostwin::SetGlobalNamespace(false);
  hostwin::MakeObjectAs("Local\\" + kNames, hostwin::ObjectKind::kMutex, "D:(A;;0x00100000;;;WD)",
                        false, true);
  Library lib;
  EXPECT_EQ(lib.OpenPosInterface(0), -1);
}

// Without global names the session's record stands in, kept through a handle with the rights
// to read and write it only. A twin mutex an earlier copy left abandoned starts the EEPROM
// clean: that copy kept no record of the write it died in.
TEST_F(BoxObjectsTest, TheSessionsRecordAndAnEarlierCopysAbandonedTwin) {
  hostwin::SetGlobalNamespace(false);
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    EXPECT_THAT(hostwin::ObjectAccess("Local\\" + kNames + ".pulse"),
                ::testing::ElementsAre(0x6u));  // FILE_MAP_READ | FILE_MAP_WRITE
  }
  hostwin::Reset();
  SetUp();
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  Box(0).eeprom.writeEnabled = true;
  hostwin::AbandonMutex("Local\\" + kNames);
  EXPECT_EQ(lib.GetSerialNumber(), 7u);
  EXPECT_FALSE(Box(0).eeprom.writeEnabled);
}

// The unload closes the box's record with its mutexes: once no program holds them, nothing of
// the record is left mapped.
TEST_F(BoxObjectsTest, TheUnloadClosesTheRecordWithTheMutexes) {
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    ASSERT_NE(MachineRecord(0), nullptr);
    EXPECT_TRUE(lib.ClosePosInterface());
  }
  hostwin::DropUnheldObjects();
  EXPECT_EQ(MachineRecord(0), nullptr);
}

}  // namespace

// A driver-port box's named objects as other programs may have left them: a mutex that
// refuses this program, a record file of another size, the session's record, and the
// session's twin mutex left by an earlier copy of the library that died inside a write.
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

// Another user's mutex that refuses this program but lets it wait on it: the machine's,
// where this program may make global objects, or in a sandbox the session's, standing in.
TEST_F(BoxObjectsTest, AMutexThatRefusesThisProgramIsNotUsed) {
  for (bool sandbox : {false, true}) {
    SCOPED_TRACE(sandbox ? "the session's" : "the machine's");
    hostwin::Reset();
    SetUp();
    hostwin::SetGlobalNamespace(!sandbox);
    hostwin::MakeObjectAs((sandbox ? "Local\\" : "Global\\") + kNames, hostwin::ObjectKind::kMutex,
                          "D:(A;;0x00100000;;;WD)", false, true);
    Library lib;
    EXPECT_EQ(lib.OpenPosInterface(0), -1);
  }
}

// A blank record file a byte longer than the record: only its size gives it away.
TEST_F(BoxObjectsTest, ARecordFileOfAnotherSizeIsNotUsed) {
  { Library first; }  // the folder and the file, as this user's programs make them
  hostwin::SetFileText(RecordFile(0), std::string(33, '\0'));
  hostwin::ClearTrace();
  {
    Library lib;
    EXPECT_EQ(lib.OpenPosInterface(0), -1);
  }
  EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 0u);  // the box never opened
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

}  // namespace

// A driver-port box's named objects as other programs may have left them: a record file the
// library cannot trust or read, a machine mutex that refuses it, the session's record, and the
// session's twin mutex of an earlier copy of the library, held or left by one that died.
#include <gmock/gmock.h>

#include <functional>

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

// What a record file must be, beyond its security, to be used: one name, no reparse point,
// the record's size, this layout. The box of one that is not is never opened.
TEST_F(BoxObjectsTest, ARecordFileOrMutexItCannotTrustIsNotUsed) {
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"two names", [] { hostwin::SetFileShape(RecordFile(0), 2, false); }},
      {"a reparse point", [] { hostwin::SetFileShape(RecordFile(0), 1, true); }},
      {"another size", [] { hostwin::SetFileText(RecordFile(0), std::string(33, '\0')); }},
      {"a later layout", [] { hostwin::MappedFile(RecordFile(0))[4] = 2; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    { Library first; }  // the folder and the file, as this user's programs make them
    c.change();
    hostwin::ClearTrace();
    {
      Library lib;
      EXPECT_EQ(lib.OpenPosInterface(0), -1);
      EXPECT_EQ(lib.SetSerialNumber(0x12345678), 0);
    }
    EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 0u);
    hostwin::Reset();
    SetUp();
  }
  // Another user's mutex that refuses this program: the machine's, where this program may make
  // global objects, or in a sandbox the session's, standing in for it.
  for (bool sandbox : {false, true}) {
    SCOPED_TRACE(sandbox ? "the session's" : "the machine's");
    hostwin::SetGlobalNamespace(!sandbox);
    hostwin::MakeObjectAs((sandbox ? "Local\\" : "Global\\") + kNames, hostwin::ObjectKind::kMutex,
                          "D:(A;;0x00100000;;;WD)", false, true);
    {
      Library lib;
      EXPECT_EQ(lib.OpenPosInterface(0), -1);
    }
    hostwin::Reset();
    SetUp();
  }
}

// Without global names the session's record stands in, kept through a handle with the rights
// to read and write it only; the session's twin mutex an earlier copy holds makes the box
// busy (the machine's is given back), and one it left abandoned starts the EEPROM clean.
TEST_F(BoxObjectsTest, TheSessionsObjectsAndAnEarlierCopysTwinMutex) {
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
  hostwin::HoldMutex("Local\\" + kNames, 6000);
  EXPECT_EQ(lib.GetSerialNumber(), 0u);
  EXPECT_FALSE(hostwin::MutexHeld("Global\\" + kNames));
  hostwin::AdvanceMs(1000);
  EXPECT_EQ(lib.GetSerialNumber(), 7u);
  Box(0).eeprom.writeEnabled = true;  // it died inside a write
  hostwin::AbandonMutex("Local\\" + kNames);
  EXPECT_EQ(lib.GetSerialNumber(), 7u);
  EXPECT_FALSE(Box(0).eeprom.writeEnabled);
}

}  // namespace

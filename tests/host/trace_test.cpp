// The field trace: what a traced session writes, how it is switched on and off from
// outside, the size bound, and a file that cannot be written.
#include <gmock/gmock.h>

#include <string.h>

#include <functional>
#include <memory>

#include "port_fixture.h"
#include "../../src/version.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const char kFile[] = "C:\\trace\\tevro.log";

class TraceTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    hostwin::UnsetEnv("TEVRO_TRACE");
    hostwin::AddFolder("C:\\trace");
  }
  // The lines of the file without their time, process and thread: "kind: details".
  static std::vector<std::string> Lines(const std::string& path = kFile) {
    std::vector<std::string> lines;
    std::string text = hostwin::FileText(path);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find("\r\n", at);
      std::string line = text.substr(at, end - at);
      EXPECT_THAT(line,
                  ::testing::MatchesRegex(
                      "2026-12-08 [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} pid 4242 tid [0-9]+ .*"));
      size_t tid = line.find(" tid ");
      lines.push_back(line.substr(line.find(' ', tid + 5) + 1));
      at = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
  }
  static std::vector<std::string> Matching(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
      if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    }
    return out;
  }
};

TEST_F(TraceTest, ASessionOnEachVariantIsTracedCallByCall) {
  hostwin::SetEnv("TEVRO_TRACE", kFile);
  hostwin::AddPortBox(0);
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    ASSERT_EQ(lib.KasseOpen(), 1);
    char flag = 0;
    lib.GetSwitchP(nullptr, &flag);
    lib.GetFirmWareVersion(nullptr);
    lib.ClosePosInterface();
  }
  std::vector<std::string> lines = Lines();
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(lines[0], std::string("load: TEVRO.DLL ") + TEVRO_FILE_VERSION_TEXT + ", x64");
  EXPECT_EQ(lines[1], "d2xx: C:\\WINDOWS\\system32\\ftd2xx.dll: no such file");
  EXPECT_EQ(lines[2], "scan: 0 bridge boxes, 1 driver-port boxes");
  EXPECT_THAT(lines[3],
              ::testing::MatchesRegex("call: OpenPosInterface\\(0\\) -> [0-9]+, 0\\.000 ms; "
                                      "port 0: 124 requests, 0 failed"));
  EXPECT_EQ(lines[4], "pulse: port 0 started");
  EXPECT_EQ(lines[5], "call: KasseOpen() -> 1, 0.000 ms; port 0: 3 requests, 0 failed");
  EXPECT_EQ(lines[6],
            "call: GetSwitchP(NULL, not NULL) -> 0, 0.000 ms; port 0: 2 requests, 0 failed");
  EXPECT_EQ(lines[7], "call: GetFirmWareVersion(NULL) -> nothing, 0.000 ms");
  EXPECT_EQ(lines[8], "pulse: port 0 released after 60.000 ms, by the close");
  EXPECT_THAT(lines[9], ::testing::MatchesRegex("call: ClosePosInterface\\(\\) -> 1, 60\\.000 ms; "
                                                "port 0: [0-9]+ requests, 0 failed"));

  hostwin::Reset();
  hostwin::UnsetEnv("TEVRO_TRACE");
  hostwin::AddFolder("C:\\trace");
  hostwin::SetEnv("TEVRO_TRACE", kFile);
  hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  hostwin::AddBridgeBox(0);
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    ASSERT_EQ(lib.KasseOpen(), 1);
    EXPECT_EQ(lib.SetSerialNumber(12345), 1);
    lib.ClosePosInterface();
  }
  EXPECT_THAT(Matching("d2xx: "), ElementsAre("d2xx: C:\\WINDOWS\\system32\\ftd2xx.dll: bound"));
  EXPECT_THAT(Matching("scan: "), ElementsAre("scan: 1 bridge boxes, 0 driver-port boxes"));
  EXPECT_THAT(Matching("call: KasseOpen"),
              ElementsAre("call: KasseOpen() -> 1, 0.000 ms; bridge 0: 3 requests, 0 failed"));
  EXPECT_THAT(
      Matching("call: SetSerialNumber"),
      ElementsAre("call: SetSerialNumber(12345) -> 1, 0.000 ms; bridge 0: 4 requests, 0 failed"));
  EXPECT_THAT(Matching("pulse: "), IsEmpty());
}

TEST_F(TraceTest, EachPulseSaysHowLongItLastedAndWhatEndedIt) {
  using Lib = std::unique_ptr<Library>;
  const struct {
    std::function<void(Lib&)> before;
    std::function<void(Lib&)> end;
    const char* line;
  } cases[] = {
      {nullptr, [](Lib&) { hostwin::RunFor(100); }, "released after 60.000 ms, by the timer"},
      {[](Lib&) { hostwin::HoldPoolTimers(true); },
       [](Lib& l) {
         hostwin::AdvanceMs(70);
         l->GetNumPos();
         hostwin::HoldPoolTimers(false);
       },
       "released after 70.000 ms, by a later call"},
      {nullptr,
       [](Lib& l) {
         hostwin::AdvanceMs(5);
         l->KasseClose();
       },
       "released after 5.000 ms, by KasseClose"},
      {nullptr, [](Lib& l) { l->OpenPosInterface(0); }, "released after 60.000 ms, by an open"},
      {nullptr, [](Lib& l) { l->ScanForPos(); }, "released after 60.000 ms, by the scan"},
      {nullptr, [](Lib& l) { l.reset(); }, "released after 60.000 ms, by the unload"},
      {[](Lib&) { hostwin::FailTimerCreation(1); }, [](Lib&) {},
       "released after 60.000 ms, by the no-timer fallback"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    hostwin::Reset();
    hostwin::UnsetEnv("TEVRO_TRACE");
    hostwin::AddFolder("C:\\trace");
    hostwin::SetEnv("TEVRO_TRACE", kFile);
    hostwin::AddPortBox(0);
    Lib lib = std::make_unique<Library>();
    ASSERT_NE(lib->OpenPosInterface(0), -1);
    if (c.before) c.before(lib);
    ASSERT_EQ(lib->KasseOpen(), 1);
    c.end(lib);
    lib.reset();
    EXPECT_THAT(Matching("pulse: port 0 released"),
                ElementsAre(std::string("pulse: port 0 ") + c.line));
  }
}

TEST_F(TraceTest, WaitsMessageBoxesAndOwedReleasesHaveTheirLines) {
  hostwin::SetEnv("TEVRO_TRACE", kFile);
  {
    Library none;  // no box: the message box at load
  }
  EXPECT_THAT(Matching("message box: "),
              ElementsAre("message box: DLL_PROCESS_ATTACH: No PosInterface found!"));

  {
    hostwin::AddPortBox(0);
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    hostwin::HoldMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.0", 20);
    size_t writes = hostwin::CountCalls("WriteFile");
    EXPECT_EQ(lib.KasseOpen(), 1);
    // Nothing is written while the pulse runs: its release waits for no file.
    EXPECT_EQ(hostwin::CountCalls("WriteFile"), writes);
    hostwin::RunFor(100);
    EXPECT_GT(hostwin::CountCalls("WriteFile"), writes);
    EXPECT_THAT(
        Matching("wait: "),
        ElementsAre("wait: port 0 was held by another caller; waited 20.0 ms, then took it"));
    ASSERT_EQ(lib.KasseOpen(), 1);
    hostwin::RemovePortBox(0);
    hostwin::AdvanceMs(1500);
    EXPECT_THAT(Matching("owed release: "),
                ElementsAre("owed release: port 0: its device cannot be opened; no longer tried"));
    // A program that died appending left the trace's mutex abandoned: the lines go on.
    const size_t lines = Lines().size();
    hostwin::AbandonMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.trace");
    lib.GetNumPos();
    EXPECT_EQ(Lines().size(), lines + 1);
  }

  // A holder that died inside an operation: whoever takes the box next says so, on either
  // kind of box.
  for (bool bridge : {false, true}) {
    SCOPED_TRACE(bridge ? "bridge" : "driver port");
    hostwin::Reset();
    hostwin::UnsetEnv("TEVRO_TRACE");
    hostwin::AddFolder("C:\\trace");
    hostwin::SetEnv("TEVRO_TRACE", kFile);
    if (bridge) {
      hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
      hostwin::AddBridgeBox(0);
    } else {
      hostwin::AddPortBox(0);
    }
    const std::string kind = bridge ? "bridge" : "port";
    {
      Library lib;
      ASSERT_NE(lib.OpenPosInterface(0), -1);
      hostwin::AbandonMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}." + kind + ".0");
      lib.GetSerialNumber();
    }
    EXPECT_THAT(Matching("wait: "),
                ElementsAre("wait: " + kind + " 0: its last holder died inside an operation"));
  }

  // A box whose mutex cannot be had (no global names, the session's one taken by another kind
  // of object): a write says why it did not happen.
  hostwin::Reset();
  hostwin::AddFolder("C:\\trace");
  hostwin::SetEnv("TEVRO_TRACE", kFile);
  hostwin::SetGlobalNamespace(false);
  ASSERT_TRUE(hostwin::MakeObjectAs("Local\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.0",
                                    hostwin::ObjectKind::kMapping, "", false));
  hostwin::AddPortBox(0);
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    EXPECT_EQ(lib.SetSerialNumber(1), 0);
  }
  EXPECT_THAT(Matching("wait: "),
              ::testing::Contains("wait: port 0: not written without the box's lock"));
}

TEST_F(TraceTest, TheFileIsRenamedAtItsLimitAndNeverGrowsBeyondIt) {
  const std::string older(1024 * 1024 - 40, 'x');
  hostwin::SetFileText(kFile, older);
  hostwin::SetEnv("TEVRO_TRACE", kFile);
  Library lib;  // its first lines no longer fit
  EXPECT_EQ(hostwin::FileText(std::string(kFile) + ".1"), older);
  EXPECT_THAT(Lines(), ::testing::Contains(HasSubstr("load: TEVRO.DLL")));
  EXPECT_LE(hostwin::FileText(kFile).size(), 1024u * 1024u);

  // A full file that cannot be renamed gets no more lines.
  hostwin::SetFileText(kFile, older);
  hostwin::FailFileRenames(true);
  for (int call = 0; call < 50; ++call) {
    hostwin::AdvanceMs(5000);
    lib.GetNumPos();
  }
  EXPECT_EQ(hostwin::FileText(kFile), older);

  // Lines that fill the file to its limit exactly still go into it; one byte more, and the
  // file is renamed first. (A call's lines are as long every time.)
  hostwin::FailFileRenames(false);
  hostwin::SetFileText(kFile, "");
  hostwin::AdvanceMs(5000);  // the file that could not take lines is tried again
  lib.GetNumPos();
  hostwin::SetFileText(kFile, "");
  lib.GetNumPos();
  const size_t line = hostwin::FileText(kFile).size(), limit = 1024 * 1024;
  for (size_t over : {0u, 1u}) {
    const std::string filled(limit - line + over, 'y');
    hostwin::SetFileText(kFile, filled);
    hostwin::SetFileText(std::string(kFile) + ".1", "");
    lib.GetNumPos();
    EXPECT_EQ(hostwin::FileText(std::string(kFile) + ".1"), over == 0 ? "" : filled);
    EXPECT_EQ(hostwin::FileText(kFile).size(), over == 0 ? limit : line);
  }
}

TEST_F(TraceTest, AFileThatCannotBeWrittenIsNotTriedOnEveryCall) {
  hostwin::SetEnv("TEVRO_TRACE", "C:\\no such folder\\tevro.log");
  hostwin::AddPortBox(0);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  size_t tries = hostwin::CountCalls("CreateFileA(file)");
  for (int call = 0; call < 20; ++call) EXPECT_EQ(lib.KasseClose(), 1);
  EXPECT_EQ(hostwin::CountCalls("CreateFileA(file)"), tries);
  hostwin::AdvanceMs(5000);
  lib.GetNumPos();
  EXPECT_GT(hostwin::CountCalls("CreateFileA(file)"), tries);  // tried again, later
}

TEST_F(TraceTest, TheRegistrySwitchesItOnAndOffInARunningApplication) {
  hostwin::AddPortBox(0);
  hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", kFile);
  Library lib;
  EXPECT_EQ(hostwin::CountCalls("RegOpenKeyExA"), 0u);  // nothing asked inside the load
  EXPECT_FALSE(hostwin::FileExists(kFile));             // the load's lines wait for it
  lib.GetNumPos();
  EXPECT_THAT(Lines(), ElementsAre(HasSubstr("load: "), HasSubstr("d2xx: "), HasSubstr("scan: "),
                                   "call: GetNumPos() -> 0x0001, 0.000 ms"));
  size_t lookups = hostwin::CountCalls("RegQueryValueExA");
  hostwin::DeleteRegistryValue(true, "Software\\TEVRO", "TraceFile");
  for (int call = 0; call < 10; ++call) lib.GetLocalOpenCnt();
  EXPECT_EQ(hostwin::CountCalls("RegQueryValueExA"), lookups);  // not asked again yet
  EXPECT_EQ(Lines().size(), 14u);
  hostwin::AdvanceMs(5000);
  lib.GetLocalOpenCnt();
  lib.GetLocalOpenCnt();
  EXPECT_EQ(Lines().size(), 14u);  // off
  // The user's value comes first.
  hostwin::SetRegistryString(false, "Software\\TEVRO", "TraceFile", "C:\\trace\\mine.log");
  hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", kFile);
  hostwin::AdvanceMs(5000);
  lib.GetNumPos();
  EXPECT_EQ(Lines().size(), 14u);
  EXPECT_THAT(Lines("C:\\trace\\mine.log"), ElementsAre("call: GetNumPos() -> 0x0001, 0.000 ms"));
}

TEST_F(TraceTest, WithNoValueNothingIsWritten) {
  hostwin::AddPortBox(0);
  Library lib;
  lib.OpenPosInterface(0);
  lib.KasseOpen();
  hostwin::RunFor(100);
  lib.ClosePosInterface();
  EXPECT_EQ(hostwin::CountCalls("CreateFileA(file)"), 0u);
  EXPECT_EQ(hostwin::CountCalls("WriteFile"), 0u);
}

// The token a program runs with: limited (user account control on, not elevated), elevated
// (the full token of an administrator whose other programs run limited), or the one token
// of an administrator where user account control is off.
enum class Token { kLimited, kElevated, kAdministratorWithoutUac };

// Where the switch may come from and what it may name: a name of a device or a pipe is never
// opened, and a handle that turns out to be one is never written; an elevated program takes only
// the machine-wide value (the environment and the user's value can be set by the user's unelevated
// programs); a 32-bit program reads the machine-wide value in the 64-bit view.
TEST_F(TraceTest, OnlyAFileOnADiskAndOnlyTheSettingsThisProgramMayTrust) {
  const char kMine[] = "C:\\trace\\mine.log";
  const struct {
    const char* name;
    const char* environment;  // TEVRO_TRACE, or null
    const char* user;         // the current user's value, or null
    const char* machine;      // the machine-wide value, or null
    Token token;
    hostwin::RegistryView machineView;
    int bits;
    const char* traced;   // the file that gets the lines, or null
    bool opened = false;  // the environment's name passes for a file's, but opens a device:
                          // only the handle's type refuses it
  } cases[] = {
      {"a serial port", "COM1", nullptr, nullptr, Token::kLimited, hostwin::RegistryView::k64, 64,
       nullptr},
      {"a printer port in a folder", nullptr, "C:\\trace\\LPT1.log", nullptr, Token::kLimited,
       hostwin::RegistryView::k64, 64, nullptr},
      {"a pipe", nullptr, "\\\\.\\pipe\\tevro", nullptr, Token::kLimited,
       hostwin::RegistryView::k64, 64, nullptr},
      {"a box's device", nullptr, nullptr, "\\\\.\\Drelvan_0", Token::kLimited,
       hostwin::RegistryView::k64, 64, nullptr},
      {"another machine's pipe", nullptr, "\\\\server\\pipe\\tevro", nullptr, Token::kLimited,
       hostwin::RegistryView::k64, 64, nullptr},
      {"the device namespace", "\\??\\pipe\\tevro", nullptr, nullptr, Token::kLimited,
       hostwin::RegistryView::k64, 64, nullptr},
      {"a device name, spaces before the extension", "C:\\trace\\nul .log", nullptr, nullptr,
       Token::kLimited, hostwin::RegistryView::k64, 64, nullptr},
      {"another machine's pipe by its long name", "\\\\?\\UNC\\server\\pipe\\tevro", nullptr,
       nullptr, Token::kLimited, hostwin::RegistryView::k64, 64, nullptr},
      {"a file's name that a link turns into a device", "C:\\trace\\linked.log", nullptr, nullptr,
       Token::kLimited, hostwin::RegistryView::k64, 64, nullptr, true},
      {"elevated: the environment", kMine, nullptr, nullptr, Token::kElevated,
       hostwin::RegistryView::k64, 64, nullptr},
      {"elevated: the user's value", nullptr, kMine, nullptr, Token::kElevated,
       hostwin::RegistryView::k64, 64, nullptr},
      {"elevated: the user's value, then the machine's", kMine, kMine, kFile, Token::kElevated,
       hostwin::RegistryView::k64, 64, kFile},
      {"an administrator without user account control: no boundary, the user's value", nullptr,
       kMine, nullptr, Token::kAdministratorWithoutUac, hostwin::RegistryView::k64, 64, kMine},
      {"a 32-bit program: the machine's 64-bit view", nullptr, nullptr, kFile, Token::kLimited,
       hostwin::RegistryView::k64, 32, kFile},
      {"a 32-bit program: not the 32-bit view", nullptr, nullptr, kFile, Token::kLimited,
       hostwin::RegistryView::k32, 32, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hostwin::Reset();
    hostwin::UnsetEnv("TEVRO_TRACE");
    hostwin::AddFolder("C:\\trace");
    hostwin::AddPortBox(0);
    hostwin::SetElevated(c.token != Token::kLimited);
    hostwin::SetUserAccountControl(c.token != Token::kAdministratorWithoutUac);
    hostwin::SetProcessBits(c.bits);
    if (c.environment != nullptr) hostwin::SetEnv("TEVRO_TRACE", c.environment);
    if (c.opened) hostwin::MakeNonDiskName(c.environment);
    if (c.user != nullptr)
      hostwin::SetRegistryString(false, "Software\\TEVRO", "TraceFile", c.user);
    if (c.machine != nullptr) {
      hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", c.machine, c.machineView);
    }
    {
      Library lib;
      ASSERT_NE(lib.OpenPosInterface(0), -1);
      lib.KasseOpen();
      hostwin::AdvanceMs(100);
      lib.ClosePosInterface();
    }
    EXPECT_TRUE(hostwin::NonDiskWrites().empty());
    for (const char* file : {kFile, kMine}) {
      EXPECT_EQ(hostwin::FileExists(file), c.traced != nullptr && strcmp(file, c.traced) == 0)
          << file;
    }
    // A device is not even opened: no box request goes to \\.\Drelvan_0 but the probes'.
    EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);
    EXPECT_EQ(hostwin::CountCalls("CreateFileA(file)") > 0, c.traced != nullptr || c.opened);
  }
}

}  // namespace

// A failure a caller is told of is written once, with its cause and the system's code: the
// Win32 error on the driver port, the D2XX status on the bridge. The same failure again adds
// nothing until the box has answered; a scan ends quietly where no box is, and says why where
// a box did not answer.
TEST_F(TraceTest, AFailureSaysItsCauseAndTheSystemsCodeOnce) {
  const std::string kGone =
      "failure: port 0: its device could not be opened (CreateFileA: error 2)";
  const std::string kRefused =
      "failure: port 0: a request to it failed (DeviceIoControl: error 31)";
  const struct {
    const char* name;
    bool bridge;
    std::function<void()> world;          // beside box 0, before the load
    std::function<void(Library&)> calls;  // with box 0 open
    std::vector<std::string> lines;
  } cases[] = {
      {"unplugged for two reads, back, every request refused, unplugged at KasseClose",
       false,
       [] {},
       [](Library& lib) {
         hostwin::RemovePortBox(0);
         EXPECT_EQ(lib.GetSerialNumber(), 0u);
         EXPECT_EQ(lib.GetSerialNumber(), 0u);
         hostwin::ReplugPortBox(0);
         EXPECT_EQ(lib.SetSerialNumber(7), 1);
         hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t*) { return false; });
         char read = 1;
         lib.GetSwitch(&read);
         EXPECT_EQ(read, 0);
         hostwin::OnDeviceRequest({});
         hostwin::RemovePortBox(0);
         EXPECT_EQ(lib.KasseClose(), 1);  // its release did not reach the box: said, not returned
       },
       {kGone, kRefused, kGone}},
      {"a field read whose twentieth pin sample fails",
       false,
       [] {},
       [](Library& lib) {
         int samples = 0;
         hostwin::OnDeviceRequest([&samples](int, uint32_t, const uint8_t* cmd) {
           return !(cmd[0] == 0x14 && cmd[1] == 0x00 && ++samples == 20);
         });
         EXPECT_EQ(lib.GetSerialNumber(), 0u);
         hostwin::OnDeviceRequest({});
       },
       {kRefused}},
      {"a box that does not answer ends the scan",
       false,
       [] { hostwin::AddPortBox(1, 0x08); },
       [](Library&) {},
       {"failure: port 1: it did not answer as a box does"}},
      {"a bridge record read that fails",
       true,
       [] {},
       [](Library& lib) {
         hostwin::FailFtCall(2, hostwin::FtFault::kError);  // the read after FT_Open
         EXPECT_EQ(lib.GetSerialNumber(), 0u);
       },
       {"failure: bridge 0: a request to it failed (FT_EE_UARead: status 4)"}},
      // A reply that never came because the query could not be sent: the call that failed.
      {"a bridge switch query that cannot be written",
       true,
       [] {},
       [](Library& lib) {
         hostwin::BridgeBoxAt(0).faults.writeFails = true;
         char read = 1;
         EXPECT_EQ(lib.GetSwitch(&read), 0);
         EXPECT_EQ(read, 0);
       },
       {"failure: bridge 0: a request to it failed (FT_Write: status 4)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hostwin::Reset();
    hostwin::AddFolder("C:\\trace");
    hostwin::SetEnv("TEVRO_TRACE", kFile);
    if (c.bridge) {
      hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
      hostwin::AddBridgeBox(0);
    } else {
      hostwin::AddPortBox(0);
    }
    c.world();
    {
      Library lib;
      ASSERT_NE(lib.OpenPosInterface(0), -1);
      c.calls(lib);
    }
    EXPECT_EQ(Matching("failure: "), c.lines);
  }
}

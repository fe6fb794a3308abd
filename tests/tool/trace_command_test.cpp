// tevro trace on|off|show and check's trace line: the TraceFile value the library reads,
// set and removed without loading the library; the library's lines as the tool shows them.
#include <gmock/gmock.h>

#include "common/trace_path.h"
#include "tool_harness.h"
#include "world_setup.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class TraceCommandTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    AddStandardBoxes();
    hostwin::AddFolder(kWorkFolder);
  }
  // The last n lines of a file, each ended by "\n" as the tool prints them.
  static std::string LastLines(const std::string& path, size_t n) {
    std::vector<std::string> lines;
    const std::string text = hostwin::FileText(path);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find("\r\n", at);
      lines.push_back(text.substr(at, end - at) + "\n");
      at = end == std::string::npos ? text.size() : end + 2;
    }
    std::string out;
    for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) out += lines[i];
    return out;
  }
};

TEST_F(TraceCommandTest, OnTracesTheNextProgramShowPrintsItsEndOffStopsIt) {
  const std::string file = std::string(kWorkFolder) + "\\trace.log";
  ToolRun on;
  EXPECT_EQ(on.Run({"trace", "on", "trace.log"}), 0);
  EXPECT_EQ(on.out(), "trace on for the current user: " + file +
                          "\nprograms that use TEVRO.DLL append to it from their next call "
                          "(running ones within 5 s)\nnote: programs that run elevated (as "
                          "administrator) take only the machine-wide value: for them, 'tevro "
                          "trace on --machine'\n");
  EXPECT_EQ(on.loads(), 0);
  EXPECT_EQ(TraceValueOf(false), file);
  EXPECT_EQ(TraceValueOf(true), "");

  ToolRun check;
  EXPECT_EQ(check.Run({"check", "1"}), 0);
  EXPECT_THAT(check.out(), HasSubstr("  close            ok\n"
                                     "  trace            on       " +
                                     file + " (the current user's value)\nresult: ok\n"));
  const std::string traced = hostwin::FileText(file);
  EXPECT_THAT(traced, HasSubstr(" call: OpenPosInterface(1) -> "));
  EXPECT_THAT(traced, HasSubstr(" call: ClosePosInterface() -> 1, "));

  ToolRun show;
  EXPECT_EQ(show.Run({"trace", "show", "2"}), 0);
  EXPECT_EQ(show.out(), "trace on (the current user's value): " + file +
                            "\nnote: not for programs that run elevated (as administrator): they "
                            "take only the machine-wide value\n" +
                            LastLines(file, 2));
  EXPECT_THAT(show.out(), HasSubstr("call: ClosePosInterface()"));
  EXPECT_EQ(show.loads(), 0);

  ToolRun off;
  EXPECT_EQ(off.Run({"trace", "off"}), 0);
  EXPECT_EQ(off.out(),
            "trace off for the current user; programs that use TEVRO.DLL stop writing within "
            "5 s\n");
  EXPECT_EQ(TraceValueOf(false), "");
  ToolRun quiet;
  EXPECT_EQ(quiet.Run({"check", "1"}), 0);
  EXPECT_THAT(quiet.out(), HasSubstr("  trace            off\nresult: ok\n"));
  EXPECT_EQ(hostwin::FileText(file), traced);
  ToolRun nothing;
  EXPECT_EQ(nothing.Run({"trace", "show"}), 0);
  EXPECT_EQ(nothing.out(),
            "trace off (no TraceFile value for the current user or for the machine)\n");
  ToolRun again;
  EXPECT_EQ(again.Run({"trace", "off"}), 0);
  EXPECT_EQ(again.out(), "trace was already off for the current user\n");

  // TEVRO_TRACE of the tool's own environment comes first for the library it loads.
  const std::string own = std::string(kWorkFolder) + "\\own.log";
  hostwin::SetEnv("TEVRO_TRACE", own);
  ToolRun environment;
  EXPECT_EQ(environment.Run({"check", "1"}), 0);
  EXPECT_THAT(environment.out(),
              HasSubstr("  trace            on       " + own +
                        " (TEVRO_TRACE of this program's environment)\nresult: ok\n"));
  EXPECT_THAT(hostwin::FileText(own), HasSubstr(" call: OpenPosInterface(1) -> "));
}

TEST_F(TraceCommandTest, WithoutFileTheUserAndTheMachineGetAFileInTheirFolder) {
  const std::string mine = std::string(kUserTraceFolder) + "\\tevro-trace.log";
  const std::string everyone = std::string(kMachineTraceFolder) + "\\tevro-trace.log";
  ToolRun user;
  EXPECT_EQ(user.Run({"trace", "on"}), 0);
  EXPECT_THAT(user.out(), StartsWith("trace on for the current user: " + mine + "\n"));
  EXPECT_TRUE(hostwin::FileExists(mine));
  ToolRun machine;
  EXPECT_EQ(machine.Run({"trace", "on", "--machine"}), 0);
  EXPECT_THAT(machine.out(), StartsWith("trace on for every user of this machine: " + everyone));
  EXPECT_THAT(machine.out(), HasSubstr("note: the current user's own value comes first for this "
                                       "user's programs: " +
                                       mine));
  EXPECT_EQ(TraceValueOf(true), everyone);
  EXPECT_EQ(TraceValueOf(false), mine);

  ToolRun off;
  EXPECT_EQ(off.Run({"trace", "off"}), 0);
  EXPECT_THAT(off.out(), HasSubstr("note: the machine-wide value still traces the programs of "
                                   "every user into " +
                                   everyone));
  ToolRun show;
  EXPECT_EQ(show.Run({"trace", "show"}), 0);
  EXPECT_EQ(show.out(),
            "trace on (the machine-wide value): " + everyone + "\nthe file holds no lines yet\n");
  ToolRun machineOff;
  EXPECT_EQ(machineOff.Run({"trace", "off", "--machine"}), 0);
  EXPECT_EQ(TraceValueOf(true), "");
}

TEST_F(TraceCommandTest, AMachineWideChangeThatIsRefusedSaysSoAndChangesNothing) {
  hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", "C:\\work\\old.log");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"trace", "on", "--machine", "C:\\work\\new.log"},
        std::vector<std::string>{"trace", "off", "--machine"}}) {
    ToolRun run;
    run.DenyMachineChanges();
    EXPECT_EQ(run.Run(args), 1);
    EXPECT_THAT(run.err(), StartsWith("tevro: the machine-wide trace setting could not be "));
    EXPECT_THAT(run.err(), HasSubstr("(access denied): changing it needs administrator rights"));
    EXPECT_EQ(run.out(), "");
    EXPECT_EQ(TraceValueOf(true), "C:\\work\\old.log");
  }
  ToolRun user;
  user.DenyMachineChanges();
  EXPECT_EQ(user.Run({"trace", "on", "C:\\work\\mine.log"}), 0);
  EXPECT_EQ(TraceValueOf(false), "C:\\work\\mine.log");
}

TEST_F(TraceCommandTest, ShowTakesTheLastLinesAlsoFromTheRenamedFile) {
  hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", "C:\\work\\t.log");
  ToolRun none;
  EXPECT_EQ(none.Run({"trace", "show"}), 0);
  EXPECT_THAT(none.out(), HasSubstr("the file does not exist yet"));
  hostwin::SetFileText("C:\\work\\t.log.1", "a1\r\na2\r\na3\r\n");
  hostwin::SetFileText("C:\\work\\t.log", "b1\r\nb2\r\n");
  ToolRun four;
  EXPECT_EQ(four.Run({"trace", "show", "4"}), 0);
  EXPECT_EQ(four.out(), "trace on (the machine-wide value): C:\\work\\t.log\na2\na3\nb1\nb2\n");
  ToolRun one;
  EXPECT_EQ(one.Run({"trace", "show", "1"}), 0);
  EXPECT_EQ(one.out(), "trace on (the machine-wide value): C:\\work\\t.log\nb2\n");
}

TEST_F(TraceCommandTest, OnRefusesAFileThatCannotBeWrittenOrIsTooLongForTheLibrary) {
  ToolRun nowhere;
  EXPECT_EQ(nowhere.Run({"trace", "on", "C:\\nowhere\\t.log"}), 1);
  EXPECT_EQ(nowhere.err(), "tevro: cannot write C:\\nowhere\\t.log: the folder does not exist\n");
  const std::string longest = std::string(kWorkFolder) + "\\" + std::string(250, 'x');
  ASSERT_EQ(longest.size(), 258u);
  ToolRun fits;
  EXPECT_EQ(fits.Run({"trace", "on", std::string(250, 'x')}), 0);
  ToolRun tooLong;
  EXPECT_EQ(tooLong.Run({"trace", "on", std::string(251, 'x')}), 1);
  EXPECT_THAT(tooLong.err(), HasSubstr("259 characters long; TEVRO.DLL takes at most 258"));
  EXPECT_EQ(TraceValueOf(false), longest);
}

// An elevated program (as every program under Wine) takes only the machine-wide value: the
// tool says so when it sets or shows the user's value, and the library traces nothing there.
TEST_F(TraceCommandTest, AnElevatedProgramTakesOnlyTheMachineWideValue) {
  const std::string mine = std::string(kWorkFolder) + "\\mine.log";
  const std::string everyone = std::string(kWorkFolder) + "\\everyone.log";
  ToolRun on;
  on.RunElevated();
  EXPECT_EQ(on.Run({"trace", "on", mine}), 0);
  EXPECT_THAT(on.out(), HasSubstr("\nnote: programs that run elevated (as administrator), this "
                                  "one among them, take only the machine-wide value"));
  ToolRun check;
  check.RunElevated();
  EXPECT_EQ(check.Run({"check", "1"}), 0);
  EXPECT_THAT(check.out(), HasSubstr("  trace            off      this program runs elevated: the "
                                     "current user's value, " +
                                     mine + ", is not read\n"));
  EXPECT_EQ(hostwin::FileText(mine), "");
  ToolRun show;
  show.RunElevated();
  EXPECT_EQ(show.Run({"trace", "show"}), 0);
  EXPECT_THAT(show.out(), HasSubstr("note: not for programs that run elevated"));
  ToolRun machine;
  machine.RunElevated();
  EXPECT_EQ(machine.Run({"trace", "on", "--machine", everyone}), 0);
  // Nor does it take TEVRO_TRACE of its environment.
  hostwin::SetEnv("TEVRO_TRACE", mine);
  ToolRun traced;
  traced.RunElevated();
  EXPECT_EQ(traced.Run({"check", "1"}), 0);
  EXPECT_THAT(traced.out(), HasSubstr("  trace            on       " + everyone +
                                      " (the machine-wide value); this program runs elevated: "
                                      "the current user's value, " +
                                      mine + ", is not read\n"));
  EXPECT_THAT(hostwin::FileText(everyone), HasSubstr(" call: OpenPosInterface(1) -> "));
  EXPECT_EQ(hostwin::FileText(mine), "");
}

TEST_F(TraceCommandTest, APathThatNamesNoFileOnADiskIsRefusedAndShownAsOff) {
  const struct {
    const char* path;
    const char* problem;  // null: a file on a disk
  } paths[] = {
      {"C:\\work\\t.log", nullptr},
      {"C:\\work\\com10.log", nullptr},
      {"C:\\work\\console.log", nullptr},
      {"\\\\?\\C:\\work\\t.log", nullptr},
      {"\\\\server\\share\\t.log", nullptr},
      {"COM1", "names a device"},
      {"com3:", "names a device"},
      {"C:\\work\\LPT1.txt", "names a device"},
      {"C:\\work\\nul", "names a device"},
      {"C:/work/CON .log", "names a device"},
      {"C:CONOUT$", "names a device"},
      {"\\\\.\\Drelvan_0", "names a device"},
      {"\\\\.\\COM1", "names a device"},
      {"\\\\?\\GLOBALROOT\\Device\\Null", "names a device"},
      {"\\\\.\\pipe\\x", "names a pipe"},
      {"//./PIPE/x", "names a pipe"},
      {"\\\\server\\pipe\\x", "names a pipe"},
      {"\\\\?\\UNC\\server\\pipe\\x", "names a pipe"},
      {"\\\\?\\UNC\\server\\share\\t.log", nullptr},
      {"C:\\work\\", "names a folder, not a file"},
  };
  for (const auto& p : paths) {
    SCOPED_TRACE(p.path);
    const char* problem = TracePathProblem(p.path);
    EXPECT_STREQ(problem != nullptr ? problem : "", p.problem != nullptr ? p.problem : "");
  }

  // The tool refuses such a path before it opens it, and says the library's value is off.
  for (const char* path : {"\\\\.\\COM1", "\\\\.\\pipe\\x", "C:\\work\\aux.log"}) {
    SCOPED_TRACE(path);
    ToolRun on;
    EXPECT_EQ(on.Run({"trace", "on", path}), 1);
    EXPECT_THAT(on.err(), HasSubstr("; TEVRO.DLL writes its trace only to a file on a disk\n"));
    EXPECT_EQ(TraceValueOf(false), "");
  }
  hostwin::SetRegistryString(false, "Software\\TEVRO", "TraceFile", "COM1");
  ToolRun show;
  EXPECT_EQ(show.Run({"trace", "show"}), 0);
  EXPECT_EQ(show.out(),
            "trace off: the current user's value is COM1, which names a device; TEVRO.DLL "
            "writes its trace only to a file on a disk\n");
  ToolRun check;
  EXPECT_EQ(check.Run({"check", "1"}), 0);
  EXPECT_THAT(check.out(), HasSubstr("  trace            off      COM1 (the current user's value) "
                                     "names a device: not a file on a disk\n"));

  // The library then takes the machine-wide value, and so do show and check.
  hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", "C:\\work\\m.log");
  ToolRun showMachine;
  EXPECT_EQ(showMachine.Run({"trace", "show"}), 0);
  EXPECT_EQ(showMachine.out(),
            "trace on (the machine-wide value): C:\\work\\m.log\nnote: the current user's value, "
            "COM1, names a device: programs take the machine-wide value\nthe file does not exist "
            "yet: no program has used TEVRO.DLL since the trace was switched on\n");
  ToolRun checkMachine;
  EXPECT_EQ(checkMachine.Run({"check", "1"}), 0);
  EXPECT_THAT(checkMachine.out(),
              HasSubstr("  trace            on       C:\\work\\m.log (the machine-wide value); "
                        "COM1 (the current user's value) names a device: not a file on a disk\n"));
  EXPECT_THAT(hostwin::FileText("C:\\work\\m.log"), HasSubstr(" call: OpenPosInterface(1) -> "));
}

}  // namespace

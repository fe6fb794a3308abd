// The command line: what each command accepts, its defaults, and the refusals, which
// end with exit code 2 before the library is loaded or a box is touched.
#include <gmock/gmock.h>

#include <stdio.h>

#include "../../src/version.h"
#include "command_line.h"
#include "tool_harness.h"
#include "world_setup.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;
using tevro_tool::Command;
using tevro_tool::CommandLine;
using tevro_tool::Field;
using tevro_tool::ParseCommandLine;

namespace {

CommandLine Parsed(const std::vector<std::string>& args) {
  tevro_tool::ParseOutcome outcome = ParseCommandLine(args);
  EXPECT_TRUE(outcome.ok) << outcome.error;
  return outcome.line;
}

TEST(CommandLine, KickWaitDefaultsTo30SecondsPolledEvery50Ms) {
  CommandLine line = Parsed({"kick", "0", "--wait"});
  EXPECT_TRUE(line.wait);
  EXPECT_TRUE(line.hasTimeout);
  EXPECT_EQ(line.timeoutMs, 30000u);
  EXPECT_EQ(line.pollMs, 50u);
  EXPECT_EQ(line.closedState, 0);
}

TEST(CommandLine, OptionsTakeTheirValueSeparatelyOrAfterEquals) {
  CommandLine line =
      Parsed({"kick", "--wait", "--timeout=2500", "255", "--interval", "0x10", "--closed-state=1"});
  EXPECT_EQ(line.box, 255);
  EXPECT_EQ(line.timeoutMs, 2500u);
  EXPECT_EQ(line.pollMs, 16u);
  EXPECT_EQ(line.closedState, 1);
}

TEST(CommandLine, DoubleDashEndsTheOptions) {
  tevro_tool::ParseOutcome outcome = ParseCommandLine({"write", "0", "serial", "--", "--5"});
  EXPECT_FALSE(outcome.ok);
  EXPECT_THAT(outcome.error, HasSubstr("VALUE: '--5'"));
  outcome = ParseCommandLine({"identity", "--", "--help"});
  EXPECT_FALSE(outcome.ok);  // "--help" after "--" is an argument, and not a number
  EXPECT_THAT(outcome.error, HasSubstr("BOX"));
}

TEST(CommandLine, HelpAnywhereWins) {
  CommandLine line = Parsed({"write", "x", "--help", "-5"});
  EXPECT_TRUE(line.showHelp);
  EXPECT_EQ(line.command, Command::kWrite);
  line = Parsed({"help", "switch"});
  EXPECT_TRUE(line.showHelp);
  EXPECT_EQ(line.command, Command::kSwitch);
  line = Parsed({"-h"});
  EXPECT_TRUE(line.showHelp);
  EXPECT_EQ(line.command, Command::kNone);
}

// Bad command lines against a world with boxes: exit code 2, a message naming the
// problem, the library never loaded, no device touched, the records unchanged.
struct BadUsage {
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const BadUsage& b, std::ostream* os) {
  for (const std::string& a : b.args) *os << '[' << a << ']';
}

class BadUsageTest : public ToolTest, public ::testing::WithParamInterface<BadUsage> {};

TEST_P(BadUsageTest, IsRefusedBeforeAnyBoxIsTouched) {
  AddStandardBoxes();
  ToolRun run;
  EXPECT_EQ(run.Run(GetParam().args), 2);
  EXPECT_THAT(run.err(), StartsWith("tevro: "));
  EXPECT_THAT(run.err(), HasSubstr(GetParam().message));
  EXPECT_THAT(run.err(), HasSubstr("--help' for usage."));
  EXPECT_EQ(run.out(), "");
  EXPECT_EQ(run.loads(), 0);
  EXPECT_EQ(run.traceHostCalls(), 0);
  EXPECT_EQ(DeviceCalls(), 0u);
  EXPECT_TRUE(hostwin::Trace().empty());
  EXPECT_EQ(BridgeRecord(0).serialNumber, kBridgeRecord.serialNumber);
  EXPECT_EQ(PortRecord(0).serialNumber, kPort0Record.serialNumber);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).kicks, 0u);
  EXPECT_EQ(hostwin::PortBoxAt(0).drawerPulses, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, BadUsageTest,
    ::testing::Values(
        BadUsage{{}, "no command given"}, BadUsage{{"open"}, "unknown command 'open'"},
        BadUsage{{"--verbose"}, "unknown option '--verbose'"},
        BadUsage{{"help", "nosuch"}, "unknown command 'nosuch'"},
        BadUsage{{"help", "kick", "list"}, "one command name"},
        BadUsage{{"list", "0"}, "unexpected argument '0'"}, BadUsage{{"kick"}, "missing BOX"},
        BadUsage{{"kick", "256"}, "not a device number (0 to 255)"},
        BadUsage{{"kick", "-1"}, "sign"}, BadUsage{{"kick", "0", "1"}, "unexpected argument '1'"},
        BadUsage{{"kick", "0", "--bogus"}, "unknown option '--bogus'"},
        BadUsage{{"kick", "0", "--watch"}, "unknown option '--watch'"},
        BadUsage{{"kick", "0", "--timeout", "5"}, "--timeout needs --wait"},
        BadUsage{{"kick", "0", "--closed-state", "1"}, "--closed-state needs --wait"},
        BadUsage{{"kick", "0", "--wait", "--timeout"}, "--timeout needs a value"},
        BadUsage{{"kick", "0", "--wait", "--timeout", "-5"}, "--timeout: '-5' has a sign"},
        BadUsage{{"kick", "0", "--wait", "--wait"}, "--wait given twice"},
        BadUsage{{"kick", "0", "--wait=1"}, "--wait takes no value"},
        BadUsage{{"switch", "0", "--interval", "10"}, "--interval needs --watch"},
        BadUsage{{"switch", "0", "--watch", "--interval", "0"}, "at least 1 ms"},
        BadUsage{{"switch", "0", "--closed-state", "2"}, "must be 0 or 1"},
        BadUsage{{"switch", "0", "--wait"}, "unknown option '--wait'"},
        BadUsage{{"identity", "0", "serial"}, "unexpected argument 'serial'"},
        BadUsage{{"write", "0", "serial"}, "missing VALUE"},
        BadUsage{{"write", "0", "name", "5"}, "unknown FIELD 'name'"},
        BadUsage{{"write", "0", "serial", ""}, "VALUE: empty value"},
        BadUsage{{"write", "0", "serial", "-1"}, "VALUE: '-1' has a sign"},
        BadUsage{{"write", "0", "serial", " 12"}, "VALUE: ' 12' is not a decimal"},
        BadUsage{{"write", "0", "date", "4294967296"}, "does not fit in 32 bits"},
        BadUsage{{"write", "0", "serial", "5", "6"}, "unexpected argument '6'"},
        BadUsage{{"check", "0", "--wait"}, "unknown option '--wait'"},
        BadUsage{{"--version", "list"}, "--version takes no arguments"},
        BadUsage{{"list", "--version"}, "unknown option '--version'"},
        BadUsage{{"kick", "0", "--machine"}, "unknown option '--machine'"},
        BadUsage{{"kick", "1", "--close-at-once", "--wait"}, "exclude each other"},
        BadUsage{{"switch", "1", "--close-at-once"}, "unknown option '--close-at-once'"},
        BadUsage{{"trace"}, "trace: missing ACTION (on, off or show)"},
        BadUsage{{"trace", "start"}, "unknown ACTION 'start'"},
        BadUsage{{"trace", "on", "a.log", "b.log"}, "unexpected argument 'b.log'"},
        BadUsage{{"trace", "on", ""}, "FILE: empty name"},
        BadUsage{{"trace", "on", "--wait"}, "unknown option '--wait'"},
        BadUsage{{"trace", "off", "a.log"}, "unexpected argument 'a.log'"},
        BadUsage{{"trace", "show", "0"}, "N must be at least 1"},
        BadUsage{{"trace", "show", "ten"}, "N: "},
        BadUsage{{"trace", "show", "--machine"}, "show takes no --machine"},
        BadUsage{{"trace", "--machine", "--machine", "on"}, "--machine given twice"}));

// Help: exit code 0, on standard output, without loading the library.
struct HelpCase {
  std::vector<std::string> args;
  const char* firstLine;
};

void PrintTo(const HelpCase& h, std::ostream* os) {
  for (const std::string& a : h.args) *os << '[' << a << ']';
}

class HelpTest : public ToolTest, public ::testing::WithParamInterface<HelpCase> {};

TEST_P(HelpTest, PrintsTheHelpWithoutLoadingTheLibrary) {
  ToolRun run;
  EXPECT_EQ(run.Run(GetParam().args), 0);
  EXPECT_THAT(run.out(), StartsWith(GetParam().firstLine));
  EXPECT_THAT(run.out(), HasSubstr("Exit code"));
  EXPECT_EQ(run.err(), "");
  EXPECT_EQ(run.loads(), 0);
  EXPECT_TRUE(hostwin::Trace().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HelpTest,
    ::testing::Values(HelpCase{{"--help"}, "Usage: tevro COMMAND"},
                      HelpCase{{"-h"}, "Usage: tevro COMMAND"},
                      HelpCase{{"help"}, "Usage: tevro COMMAND"},
                      HelpCase{{"kick", "--help"}, "Usage: tevro kick BOX [--wait"},
                      HelpCase{{"help", "kick"}, "Usage: tevro kick BOX [--wait"},
                      HelpCase{{"write", "0", "serial", "--help"},
                               "Usage: tevro write BOX FIELD VALUE\n"},
                      HelpCase{{"help", "trace"}, "Usage: tevro trace on [FILE] [--machine]\n"},
                      HelpCase{{"trace", "show", "--help"}, "Usage: tevro trace on"}));

// The tool states the file version of the library it is released with: the numbers of
// the version resource's FILEVERSION, as text, on standard output, nothing loaded.
TEST_F(ToolTest, VersionPrintsTheLibraryFileVersionWithoutLoadingIt) {
  ToolRun run;
  EXPECT_EQ(run.Run({"--version"}), 0);
  const unsigned numbers[] = {TEVRO_FILE_VERSION};
  char expected[64];
  snprintf(expected, sizeof expected, "tevro %u.%u.%u.%u\n", numbers[0], numbers[1], numbers[2],
           numbers[3]);
  EXPECT_EQ(run.out(), expected);
  EXPECT_EQ(run.err(), "");
  EXPECT_EQ(run.loads(), 0);
  EXPECT_TRUE(hostwin::Trace().empty());
  ToolRun help;
  ASSERT_EQ(help.Run({"--help"}), 0);
  EXPECT_THAT(help.out(), HasSubstr("\n  --version "));
}

TEST_F(ToolTest, ToolHelpNamesEveryCommandAndEveryCommandHasItsOwnHelp) {
  ToolRun run;
  ASSERT_EQ(run.Run({"--help"}), 0);
  for (const char* name : {"list", "kick", "switch", "identity", "write", "check", "trace"}) {
    EXPECT_THAT(run.out(), HasSubstr(std::string("\n  ") + name + " ")) << name;
    ToolRun one;
    ASSERT_EQ(one.Run({name, "--help"}), 0);
    EXPECT_THAT(one.out(), StartsWith(std::string("Usage: tevro ") + name)) << name;
    EXPECT_NE(one.out(), run.out()) << name;
  }
}

}  // namespace

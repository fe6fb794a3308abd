// Bad command lines are refused with exit code 2 and a message before the library is
// loaded: the driver's event log and the D2XX call log stay empty, and no byte of any
// identity record changes. Help is shown without touching a box either.
#include <string.h>

#include "tool_checks.h"

namespace toolcheck {
namespace {

struct BadLine {
  std::vector<std::string> args;
  const char* message;  // part of what the tool says on standard error
};

const BadLine kBadLines[] = {
    {{}, "no command given"},
    {{"frob"}, "unknown command 'frob'"},
    {{"--verbose"}, "unknown option '--verbose'"},
    {{"kick"}, "missing BOX"},
    {{"kick", "1", "2"}, "unexpected argument '2'"},
    {{"kick", "256"}, "not a device number"},
    {{"kick", "-1"}, "has a sign"},
    {{"kick", "1", "--timeout", "500"}, "--timeout needs --wait"},
    {{"kick", "1", "--wait", "--timeout", "ten"}, "not a decimal number"},
    {{"kick", "1", "--bogus"}, "unknown option '--bogus'"},
    {{"switch", "1", "--watch", "--closed-state", "2"}, "--closed-state must be 0 or 1"},
    {{"write", "2", "serial"}, "missing VALUE"},
    {{"write", "2", "colour", "5"}, "unknown FIELD 'colour'"},
    {{"write", "2", "serial", "4294967296"}, "does not fit in 32 bits"},
    {{"write", "2", "serial", "0x100000000"}, "does not fit in 32 bits"},
    {{"write", "2", "serial", "-1"}, "has a sign"},
    {{"write", "0", "date", "12x"}, "not a decimal number"},
    {{"write", "1", "count", "007"}, "leading zero"},
    {{"write", "1", "count", ""}, "empty value"},
    {{"write", "1", "count", "0x"}, "no hex digits"},
    {{"help", "frob"}, "unknown command 'frob'"},
};

struct Memories {
  uint8_t port0[drelvansim::kEepromBytes];
  uint8_t port1[drelvansim::kEepromBytes];
  sim::BridgeBox bridge;
};

bool ReadMemories(SimWorld& world, Memories& m) {
  return ReadPortEeprom(world, 0, m.port0) && ReadPortEeprom(world, 1, m.port1) &&
         ReadBridge(world, 0, m.bridge);
}

// Runs the tool and reports whether it touched nothing: no driver event, no D2XX call.
bool Untouched(SimWorld& world, const std::vector<std::string>& args, ToolRun* run,
               std::string* detail) {
  const LogMark mark = Mark(world);
  *run = Tevro(args);
  const size_t events = PortEventsSince(world, mark).size();
  const size_t calls = BridgeCallsSince(world, mark).size();
  *detail = Format("%zu driver events, %zu D2XX calls; ", events, calls) + Describe(*run);
  return events == 0 && calls == 0;
}

}  // namespace

void UsageChecks(SimWorld& world) {
  if (!SetUp(world, "usage")) return;
  Memories before;
  const bool haveBefore = ReadMemories(world, before);

  for (const BadLine& bad : kBadLines) {
    ToolRun run;
    std::string detail;
    const bool untouched = Untouched(world, bad.args, &run, &detail);
    Check(untouched && run.ended && run.code == 2 && Contains(run.err, "tevro: ") &&
              Contains(run.err, bad.message) && run.out.empty(),
          "usage: '" + Joined(bad.args) + "' exits 2 with '" + bad.message + "' and touches no box",
          detail);
  }

  Memories after;
  Check(haveBefore && ReadMemories(world, after) &&
            memcmp(before.port0, after.port0, sizeof before.port0) == 0 &&
            memcmp(before.port1, after.port1, sizeof before.port1) == 0 &&
            memcmp(before.bridge.userArea, after.bridge.userArea, kUserAreaBytes) == 0 &&
            after.bridge.kicks == 0,
        "usage: after the refused command lines every identity record is as it was");

  const struct {
    std::vector<std::string> args;
    const char* text;
  } helps[] = {
      {{"--help"}, "Usage: tevro COMMAND"},
      {{"help", "write"}, "Usage: tevro write BOX"},
      {{"kick", "1", "--help"}, "Usage: tevro kick BOX"},
  };
  for (const auto& help : helps) {
    ToolRun run;
    std::string detail;
    const bool untouched = Untouched(world, help.args, &run, &detail);
    Check(untouched && run.ended && run.code == 0 && Contains(run.out, help.text),
          "usage: '" + Joined(help.args) + "' shows '" + help.text + "', exits 0, touches no box",
          detail);
  }
}

}  // namespace toolcheck

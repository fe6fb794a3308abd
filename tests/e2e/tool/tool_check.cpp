// tool_check: checks of the service tool tevro.exe under Wine, against the simulated boxes
// (stand-in driver and stand-in ftd2xx.dll), run by scripts/e2e through scripts/wine-run.
//   tool_check TEVRO_EXE     runs every check; PASS/FAIL lines, then "N passed, M failed"
#include <stdio.h>
#include <stdlib.h>

#include "tool_checks.h"

namespace toolcheck {
namespace {

std::string gTool;

}  // namespace

const std::string& ToolPath() { return gTool; }

ToolRun Tevro(const std::vector<std::string>& args, DWORD timeoutMs) {
  return RunTool(gTool, args, timeoutMs);
}

bool SetUp(SimWorld& world, const std::string& group) {
  return Check(ResetWorld(world), group + ": the simulated boxes are set up");
}

bool PortHandlesClosed(SimWorld& world, uint32_t box) {
  const uint64_t deadline = NowMs() + 2000;
  for (;;) {
    drelvansim::BoxInfo info;
    if (!QueryPort(world, box, info)) return false;
    if (info.opens == info.closes) return true;
    if (NowMs() >= deadline) return false;
    Sleep(20);
  }
}

bool BridgeHandlesClosed(SimWorld& world, uint32_t box) {
  sim::BridgeBox copy;
  return ReadBridge(world, box, copy) && !copy.open && copy.opens == copy.closes;
}

double SecondsAfter(const std::string& text, const std::string& lead) {
  const size_t at = text.find(lead);
  if (at == std::string::npos) return -1;
  const char* start = text.c_str() + at + lead.size();
  char* end = nullptr;
  const double seconds = strtod(start, &end);
  if (end == start || end[0] != ' ' || end[1] != 's') return -1;
  return seconds;
}

}  // namespace toolcheck

int main(int argc, char** argv) {
  using namespace toolcheck;
  if (argc != 2) {
    fprintf(stderr, "usage: tool_check TEVRO_EXE\n");
    return 2;
  }
  gTool = argv[1];
  SimWorld world;
  if (!Check(OpenSimWorld(world), "the stand-in driver and the bridge state are reachable")) {
    return Summary();
  }
  UsageChecks(world);
  KickChecks(world);
  IdentityChecks(world);
  UnpluggedChecks(world);
  CloseSimWorld(world);
  return Summary();
}

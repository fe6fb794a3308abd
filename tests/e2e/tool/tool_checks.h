// The checks of tevro.exe under Wine, by concern. Each group starts from the boxes of
// ResetWorld (sim_world.h) and prints one PASS or FAIL line per check.
#ifndef TESTS_E2E_TOOL_TOOL_CHECKS_H
#define TESTS_E2E_TOOL_TOOL_CHECKS_H

#include <string>
#include <vector>

#include "sim_world.h"
#include "tool_runs.h"

namespace toolcheck {

// The path of tevro.exe, the program under test.
const std::string& ToolPath();

// Runs tevro.exe with args.
ToolRun Tevro(const std::vector<std::string>& args, DWORD timeoutMs = 60000);

// ResetWorld, reported as a check of the group.
bool SetUp(SimWorld& world, const std::string& group);

// Every open of port box `box`'s device has been closed again. Wine hands a close to the
// driver a little after CloseHandle returns, so this waits up to 2 s for them to match.
bool PortHandlesClosed(SimWorld& world, uint32_t box);

// Bridge box `box` is not left open and every open was closed.
bool BridgeHandlesClosed(SimWorld& world, uint32_t box);

// The seconds in "... after 1.072 s" following `lead` in text; -1 when absent.
double SecondsAfter(const std::string& text, const std::string& lead);

// Bad command lines and help: exit code, message, and no box touched.
void UsageChecks(SimWorld& world);
// Boxes that are not there, or are pulled out while the tool uses them.
void UnpluggedChecks(SimWorld& world);
// The drawer kick on each variant, and waiting for the drawer to be closed again.
void KickChecks(SimWorld& world);
// Identity writes, read back by a second process and in the boxes' memories.
void IdentityChecks(SimWorld& world);

}  // namespace toolcheck

#endif  // TESTS_E2E_TOOL_TOOL_CHECKS_H

// Two processes open the same box, both sessions open at once, each kicking; the counter keeps
// every kick of both through the two closes, on a driver-port box and on a bridge box (part of
// dll_check).
#include <stdio.h>
#include <stdlib.h>

#include "dll_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

namespace e2e {
namespace {

constexpr DWORD kChildTimeoutMs = 60000;
constexpr DWORD kStepWaitMs = 30000;
constexpr int kOverlapKicks = 4;
constexpr uint32_t kOverlapStart = 700;

std::string ChildCommand(const std::string& arguments) {
  return SelfCommand() + " --child " + arguments;
}

std::string Number(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return text;
}

bool ReadIdentity(const DllContext& context, bool bridge, Identity* identity) {
  return bridge ? BridgeReadIdentity(0, identity) : PortReadIdentity(context.control, 0, identity);
}

struct Party {
  std::string prefix;
  HANDLE ready;
  HANDLE go;
  BackgroundRun run;
};

bool Step(Party& p) {
  SetEvent(p.go);
  return WaitForSingleObject(p.ready, kStepWaitMs) == WAIT_OBJECT_0;
}

// Two processes open the same box (both sessions open before either kicks), kick in turns,
// then close one after the other. The second close must not write back a counter that
// leaves out the first session's kicks.
void OverlappingSessions(const DllContext& context, bool bridge) {
  const char* variant = bridge ? "bridge" : "driver-port";
  ResetBoxes(context);
  const Identity initial = {kOverlapStart, 0xABCD0001, 0x20230303};
  const bool ready = PlugInBoxWithIdentity(context.control, bridge, initial);
  char name[200];
  snprintf(name, sizeof name, "overlap: %s box set up with counter %u", variant, kOverlapStart);
  if (!Check(ready, name)) return;

  Party parties[2];
  bool protocol = true;
  for (int i = 0; i < 2; ++i) {
    Party& p = parties[i];
    char prefix[96];
    snprintf(prefix, sizeof prefix, "TevroE2E-%lu-overlap-%s-%c", GetCurrentProcessId(), variant,
             'A' + i);
    p.prefix = prefix;
    p.ready = CreateEventA(nullptr, FALSE, FALSE, (p.prefix + "-ready").c_str());
    p.go = CreateEventA(nullptr, FALSE, FALSE, (p.prefix + "-go").c_str());
    p.run.thread = nullptr;
  }
  // One after the other: their loads scan the box, and the box serves one caller at a time.
  for (int i = 0; i < 2 && protocol; ++i) {
    Party& p = parties[i];
    StartBackground(
        p.run,
        ChildCommand(Quote("overlap") + " " + Quote(context.tevroPath) + " 0 " +
                     (bridge ? "bridge " : "port ") + p.prefix + " " + Number(kOverlapKicks)),
        kChildTimeoutMs);
    protocol = WaitForSingleObject(p.ready, kStepWaitMs) == WAIT_OBJECT_0;
  }
  for (int k = 0; k < kOverlapKicks && protocol; ++k) {
    protocol = Step(parties[0]) && Step(parties[1]);
  }
  Identity afterFirst = {0, 0, 0};
  Identity afterSecond = {0, 0, 0};
  if (protocol) protocol = Step(parties[0]);
  ReadIdentity(context, bridge, &afterFirst);
  if (protocol) protocol = Step(parties[1]);
  ReadIdentity(context, bridge, &afterSecond);
  int kicked[2] = {0, 0};
  bool clean = true;
  for (int i = 0; i < 2; ++i) {
    Party& p = parties[i];
    if (!protocol) SetEvent(p.go);
    JoinBackground(p.run);
    kicked[i] = atoi(ValueOf(p.run.output, "kicked").c_str());
    clean = clean && p.run.ended && p.run.exitCode == 0 && ValueOf(p.run.output, "opened") == "1";
    CloseHandle(p.ready);
    CloseHandle(p.go);
  }
  snprintf(name, sizeof name,
           "overlap: two processes open the %s box, both sessions open, each kicks %d times",
           variant, kOverlapKicks);
  Check(protocol && clean && kicked[0] == kOverlapKicks && kicked[1] == kOverlapKicks, name,
        "steps %s, kicks returning 1: %d and %d, exit %lu and %lu",
        protocol ? "complete" : "cut short", kicked[0], kicked[1], parties[0].run.exitCode,
        parties[1].run.exitCode);
  snprintf(name, sizeof name,
           "overlap: %s box counter is %u + %d after the first close and %u + %d after the second",
           variant, kOverlapStart, kOverlapKicks, kOverlapStart, 2 * kOverlapKicks);
  Check(afterFirst.count == kOverlapStart + kicked[0] &&
            afterSecond.count == kOverlapStart + kicked[0] + kicked[1] && kicked[0] > 0,
        name, "counter %u after the first close, %u after the second", afterFirst.count,
        afterSecond.count);
  Check(afterSecond.serial == initial.serial && afterSecond.date == initial.date,
        bridge ? "overlap: bridge box serial and date unchanged by the write-backs"
               : "overlap: driver-port box serial and date unchanged by the write-backs");
}

}  // namespace

void OverlappingSessionsChecks(const DllContext& context) {
  OverlappingSessions(context, false);
  OverlappingSessions(context, true);
}

}  // namespace e2e

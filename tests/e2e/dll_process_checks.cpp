// Several processes on the same boxes: an identity record written by one is read back by
// another; two sessions on one box overlap, each kicking, and the counter keeps every kick.
#include <stdio.h>
#include <stdlib.h>

#include "boxes.h"
#include "check_support.h"
#include "dll_checks.h"

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

void IdentityAcrossProcesses(const DllContext& context) {
  ResetBoxes(context);
  const Identity initial = {11, 22, 33};
  // Device 0 is the bridge box, device 1 the driver-port box.
  if (!Check(BridgePlugIn(0, sim::kBridgeSwitchOpenReply, sim::kBridgeVersionNew) &&
                 BridgeWriteIdentity(0, initial, 0, 0) && PortPlugIn(context.control, 0) &&
                 PortWriteIdentity(context.control, 0, initial),
             "processes: a bridge box and a driver-port box set up")) {
    return;
  }
  const Identity written[2] = {{1234567, 0x5E12A001, 0x20240131},
                               {7654321, 0x5E12B002, 0x20241231}};
  const char* variants[2] = {"bridge", "driver-port"};
  for (uint32_t device = 0; device < 2; ++device) {
    const Identity& w = written[device];
    DWORD code = 1;
    std::string output;
    const bool wrote =
        RunProcess(ChildCommand(Quote("identity-write") + " " + Quote(context.tevroPath) + " " +
                                Number(device) + " " + Number(w.serial) + " " + Number(w.date) +
                                " " + Number(w.count)),
                   kChildTimeoutMs, &code, &output) &&
        code == 0;
    char name[160];
    snprintf(name, sizeof name,
             "processes: one process writes serial, date and counter on the %s box (device %u)",
             variants[device], device);
    Check(wrote, name, "exit %lu, '%s'", code, ValueOf(output, "opened").c_str());

    const bool read = RunProcess(ChildCommand(Quote("identity-read") + " " +
                                              Quote(context.tevroPath) + " " + Number(device)),
                                 kChildTimeoutMs, &code, &output) &&
                      code == 0;
    const Identity got = {
        static_cast<uint32_t>(strtoul(ValueOf(output, "count").c_str(), nullptr, 10)),
        static_cast<uint32_t>(strtoul(ValueOf(output, "serial").c_str(), nullptr, 10)),
        static_cast<uint32_t>(strtoul(ValueOf(output, "date").c_str(), nullptr, 10))};
    snprintf(name, sizeof name,
             "processes: another process reads the same record back from the %s box",
             variants[device]);
    Check(read && got == w, name, "exit %lu, read %u/%08x/%08x", code, got.count, got.serial,
          got.date);
  }
  Identity bridgeBox = {0, 0, 0};
  Identity portBox = {0, 0, 0};
  BridgeReadIdentity(0, &bridgeBox);
  PortReadIdentity(context.control, 0, &portBox);
  Check(bridgeBox == written[0] && portBox == written[1],
        "processes: each box's memory holds the record written to it, and only that one");
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

void ProcessChecks(const DllContext& context) {
  IdentityAcrossProcesses(context);
  OverlappingSessions(context, false);
  OverlappingSessions(context, true);
}

}  // namespace e2e

// An identity record written by one process is read back by another, on a bridge box and on a
// driver-port box; each box's memory holds the record written to it (part of dll_check).
#include <stdio.h>
#include <stdlib.h>

#include "dll_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

namespace e2e {
namespace {

constexpr DWORD kChildTimeoutMs = 60000;

std::string ChildCommand(const std::string& arguments) {
  return SelfCommand() + " --child " + arguments;
}

std::string Number(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return text;
}

}  // namespace

void IdentityAcrossProcessesChecks(const DllContext& context) {
  ResetBoxes(context);
  const Identity initial = {11, 22, 33};
  // Device 0 is the bridge box, device 1 the driver-port box.
  if (!Check(BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew) &&
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

}  // namespace e2e

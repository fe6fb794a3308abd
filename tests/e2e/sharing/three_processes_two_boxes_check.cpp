// three_processes_two_boxes_check: three processes share two boxes, a bridge box (device 0)
// and a driver-port box (device 1), for a bounded time (one_box_many_callers_check is the
// closer look at one driver-port box). Each opens a box, reads its record, kicks, and closes,
// in a loop, with the sessions of different processes overlapping. The workers take no lock
// of their own: the library alone keeps their calls on a box apart. A kick on the driver-port
// box while another process's pulse runs there is refused, rightly; on the bridge box every
// kick must reach the box. Worker 1 alone writes serial numbers, worker 2 alone manufacturing
// dates; nobody sets the counter.
//
// Afterwards: every box's counter is its start value plus the kicks that returned 1, each
// serial number and date is the last one its writer stored, no other byte of either box
// changed, no drawer is left energised, and every process ran to its end.
//
//   three_processes_two_boxes_check TEVRO_DLL [SECONDS]           the run (default 20 s)
//   three_processes_two_boxes_check --worker N TEVRO_DLL SECONDS  one of the processes
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/boxes.h"
#include "support/check_support.h"
#include "support/tevro_library.h"

using namespace e2e;
using namespace drelvansim;

namespace {

constexpr uint32_t kWorkers = 3;
constexpr uint32_t kDefaultSeconds = 20;
constexpr DWORD kTimerLimitMs = 2000;
constexpr uint32_t kMaxPauseMs = 15;
constexpr uint32_t kPortPaddingFrom = 12;
constexpr uint32_t kReportedViolations = 10;

constexpr uint32_t kBridge = 0;  // device 0, bridge box 0
constexpr uint32_t kPort = 1;    // device 1, driver-port box 0
const char* const kBoxNames[2] = {"bridge", "port"};

// Start records; writers store kSerialBase[box] + k and kDateBase[box] + k, k = 1, 2, ...
const Identity kStart[2] = {{5000, 0x5EB00000, 0x20B00000}, {6000, 0x5EC00000, 0x20C00000}};
const uint32_t kSerialBase[2] = {0x51B00000, 0x51C00000};
const uint32_t kDateBase[2] = {0x2DB00000, 0x2DC00000};
constexpr uint32_t kSerialWriter = 1;
constexpr uint32_t kDateWriter = 2;
const uint8_t kBridgeSpare[2] = {0x5A, 0xA5};  // user-area bytes 10-11

uint8_t PortPadding(uint32_t address) { return static_cast<uint8_t>(address * 13 + 1); }

bool WrittenBy(uint32_t value, uint32_t base) { return value > base && value - base <= 0xFFFF; }

// --- a worker --------------------------------------------------------------------------

struct Worker {
  uint32_t id;
  Tevro t;
  uint32_t random;
  uint32_t ops;
  uint32_t sessions[2];
  uint32_t kicks[2];
  uint32_t refused[2];
  uint32_t lastSerial[2];  // the serial writer's last stored value (0: none yet)
  uint32_t lastDate[2];
  uint32_t lastCount[2];  // the counter as this worker last read it
  uint32_t violations;
};

uint32_t Next(Worker& w) {
  w.random = w.random * 1103515245u + 12345u;
  return w.random >> 8;
}

void Violation(Worker& w, const char* format, ...) {
  if (++w.violations > kReportedViolations) return;
  va_list args;
  va_start(args, format);
  printf("violation=worker %u: ", w.id);
  vprintf(format, args);
  printf("\n");
  va_end(args);
}

// Runs one library call, counted.
template <typename Call>
auto OnBox(Worker& w, Call call) -> decltype(call()) {
  ++w.ops;
  return call();
}

void Pause(Worker& w) { PumpFor(Next(w) % (kMaxPauseMs + 1)); }

void CheckSerial(Worker& w, uint32_t box, uint32_t value) {
  const bool known = value == kStart[box].serial || WrittenBy(value, kSerialBase[box]);
  const uint32_t expected = w.lastSerial[box] != 0 ? w.lastSerial[box] : kStart[box].serial;
  if (!known || (w.id == kSerialWriter && value != expected)) {
    Violation(w, "%s box serial number read 0x%08x", kBoxNames[box], value);
  }
}

void CheckDate(Worker& w, uint32_t box, uint32_t value) {
  const bool known = value == kStart[box].date || WrittenBy(value, kDateBase[box]);
  const uint32_t expected = w.lastDate[box] != 0 ? w.lastDate[box] : kStart[box].date;
  if (!known || (w.id == kDateWriter && value != expected)) {
    Violation(w, "%s box date read 0x%08x", kBoxNames[box], value);
  }
}

void CheckCount(Worker& w, uint32_t box, uint32_t value) {
  if (value < kStart[box].count || value < w.lastCount[box]) {
    Violation(w, "%s box counter read %u (start %u, earlier read %u)", kBoxNames[box], value,
              kStart[box].count, w.lastCount[box]);
  }
  w.lastCount[box] = value;
}

void Session(Worker& w, uint32_t box) {
  const Tevro& t = w.t;
  const unsigned char device = static_cast<unsigned char>(box);
  if (OnBox(w, [&] { return t.OpenPosInterface(device); }) == -1) {
    Violation(w, "OpenPosInterface(%u) failed", device);
    return;
  }
  ++w.sessions[box];
  Pause(w);
  CheckCount(w, box, OnBox(w, [&] { return t.GetLastOpenCnt(); }));
  const uint32_t kicks = 1 + Next(w) % 3;
  uint32_t kicked = 0;
  for (uint32_t i = 0; i < kicks; ++i) {
    const uint8_t result = OnBox(w, [&] { return t.KasseOpen(); });
    if (result == 1) {
      ++kicked;
      ++w.kicks[box];
      // This thread's dispatch ends the pulse.
      if (box == kPort) PumpUntilReleased(0, kTimerLimitMs);
    } else {
      ++w.refused[box];
    }
    Pause(w);
  }
  CheckSerial(w, box, OnBox(w, [&] { return t.GetSerialNumber(); }));
  CheckDate(w, box, OnBox(w, [&] { return t.GetMfgDate(); }));
  if (w.id == kSerialWriter && Next(w) % 2 == 0) {
    const uint32_t value =
        kSerialBase[box] + (w.lastSerial[box] == 0 ? 1 : w.lastSerial[box] - kSerialBase[box] + 1);
    if (OnBox(w, [&] { return t.SetSerialNumber(value); }) == 1) {
      w.lastSerial[box] = value;
    } else {
      Violation(w, "SetSerialNumber on the %s box failed", kBoxNames[box]);
    }
  }
  if (w.id == kDateWriter && Next(w) % 2 == 0) {
    const uint32_t value =
        kDateBase[box] + (w.lastDate[box] == 0 ? 1 : w.lastDate[box] - kDateBase[box] + 1);
    if (OnBox(w, [&] { return t.SetMfgDate(value); }) == 1) {
      w.lastDate[box] = value;
    } else {
      Violation(w, "SetMfgDate on the %s box failed", kBoxNames[box]);
    }
  }
  if (Next(w) % 3 == 0) {
    char flag = 0;
    const uint8_t state = OnBox(w, [&] { return t.GetSwitch(&flag); });
    // The bridge box answers "open" (state 1); the port box's switch line is high (0).
    if (flag != 1 || state != (box == kBridge ? 1 : 0)) {
      Violation(w, "GetSwitch on the %s box gave %u with read flag %d", kBoxNames[box], state,
                flag);
    }
    char text[16] = "";
    OnBox(w, [&] {
      t.GetFirmWareVersion(text);
      return 0;
    });
    if (strcmp(text, box == kBridge ? "FTDI>=1.6" : "Cy") != 0) {
      Violation(w, "GetFirmWareVersion on the %s box gave \"%.10s\"", kBoxNames[box], text);
    }
  }
  const uint32_t local = OnBox(w, [&] { return t.GetLocalOpenCnt(); });
  if (local != kicked) {
    Violation(w, "GetLocalOpenCnt %u after %u kicks on the %s box", local, kicked, kBoxNames[box]);
  }
  Pause(w);
  OnBox(w, [&] { return t.ClosePosInterface(); });
}

int WorkerMain(uint32_t id, const char* tevro, uint32_t seconds) {
  Worker w;
  memset(&w, 0, sizeof w);
  w.id = id;
  w.random = 0x9E3779B9u * (id + 1);
  // The load scans both boxes while the other workers use them: a box in use counts.
  int bound = 0;
  const bool loaded = TevroLoad(tevro, w.t, &bound);
  if (!loaded || bound != kTevroExportCount) {
    printf("load=failed bound=%d\n", bound);
    return 1;
  }
  const uint32_t numpos = OnBox(w, [&] { return w.t.GetNumPos(); });
  if (numpos != 0x0101) Violation(w, "GetNumPos 0x%x, not 0x101", numpos);

  const uint64_t deadline = NowUs() + static_cast<uint64_t>(seconds) * 1000000u;
  while (NowUs() < deadline) Session(w, Next(w) % 2);

  TevroUnload(w.t);
  printf("ops=%u\n", w.ops);
  for (uint32_t box = 0; box < 2; ++box) {
    printf("sessions-%s=%u\nkicks-%s=%u\nrefused-%s=%u\nserial-%s=%u\ndate-%s=%u\n", kBoxNames[box],
           w.sessions[box], kBoxNames[box], w.kicks[box], kBoxNames[box], w.refused[box],
           kBoxNames[box], w.lastSerial[box], kBoxNames[box], w.lastDate[box]);
  }
  printf("violations=%u\ndone\n", w.violations);
  fflush(stdout);
  return 0;
}

// --- the run -----------------------------------------------------------------------------

uint32_t Field(const std::string& output, const std::string& key) {
  return static_cast<uint32_t>(strtoul(ValueOf(output, key.c_str()).c_str(), nullptr, 10));
}

bool SetUp(HANDLE control) {
  uint8_t padding[kEepromBytes - kPortPaddingFrom];
  for (uint32_t a = kPortPaddingFrom; a < kEepromBytes; ++a) {
    padding[a - kPortPaddingFrom] = PortPadding(a);
  }
  return ControlResetAll(control) && BridgeResetAll() &&
         BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew) &&
         BridgeWriteIdentity(0, kStart[kBridge], kBridgeSpare[0], kBridgeSpare[1]) &&
         PortPlugIn(control, 0) && PortWriteIdentity(control, 0, kStart[kPort]) &&
         ControlEepromWrite(control, 0, kPortPaddingFrom, padding, sizeof padding);
}

int RunMain(const char* tevro, uint32_t seconds) {
  HANDLE control = ControlOpen();
  if (!Check(control != INVALID_HANDLE_VALUE, "shared: the stand-in port driver answers") ||
      !Check(SetUp(control),
             "shared: a bridge box (device 0) and a driver-port box (device 1) "
             "set up")) {
    return Summary();
  }
  const DWORD limitMs = (seconds + 120) * 1000;
  BackgroundRun runs[kWorkers];
  const uint64_t startUs = NowUs();
  for (uint32_t i = 0; i < kWorkers; ++i) {
    char arguments[64];
    snprintf(arguments, sizeof arguments, " --worker %u ", i);
    StartBackground(
        runs[i], SelfCommand() + arguments + Quote(tevro) + " " + std::to_string(seconds), limitMs);
  }
  for (BackgroundRun& run : runs) JoinBackground(run);
  const double elapsedS = static_cast<double>(NowUs() - startUs) / 1e6;

  uint32_t ops = 0, sessions = 0, kicks[2] = {0, 0}, refused[2] = {0, 0}, violations = 0;
  uint32_t lastSerial[2] = {0, 0}, lastDate[2] = {0, 0};
  for (uint32_t i = 0; i < kWorkers; ++i) {
    const std::string& out = runs[i].output;
    const bool clean = runs[i].ended && runs[i].exitCode == 0 && HasLine(out, "done");
    char name[96];
    snprintf(name, sizeof name, "shared: worker %u ran to its end (no crash, exit 0)", i);
    Check(clean, name, "ended=%d exit=0x%lx", runs[i].ended, runs[i].exitCode);
    if (!clean) ++violations;
    for (const std::string& v : ValuesOf(out, "violation")) printf("  %s\n", v.c_str());
    violations += Field(out, "violations");
    ops += Field(out, "ops");
    for (uint32_t box = 0; box < 2; ++box) {
      const std::string b = kBoxNames[box];
      sessions += Field(out, "sessions-" + b);
      kicks[box] += Field(out, "kicks-" + b);
      refused[box] += Field(out, "refused-" + b);
      if (i == kSerialWriter) lastSerial[box] = Field(out, "serial-" + b);
      if (i == kDateWriter) lastDate[box] = Field(out, "date-" + b);
    }
  }
  Check(violations == 0,
        "shared: no worker saw a record value nobody wrote, a counter going "
        "back, or a failed call");
  if (!Check(refused[kBridge] == 0, "shared: every kick on the bridge box reached it",
             "%u kicks returned 0", refused[kBridge])) {
    ++violations;
  }

  Identity got[2];
  uint8_t area[16];
  BridgeReadIdentity(0, &got[kBridge], &area);
  PortReadIdentity(control, 0, &got[kPort]);
  for (uint32_t box = 0; box < 2; ++box) {
    const Identity want = {kStart[box].count + kicks[box],
                           lastSerial[box] != 0 ? lastSerial[box] : kStart[box].serial,
                           lastDate[box] != 0 ? lastDate[box] : kStart[box].date};
    char name[160];
    snprintf(name, sizeof name, "shared: %s box counter = %u + %u successful kicks", kBoxNames[box],
             kStart[box].count, kicks[box]);
    if (!Check(got[box].count == want.count, name, "counter %u", got[box].count)) ++violations;
    snprintf(name, sizeof name,
             "shared: %s box serial number and date are the last ones their writers stored",
             kBoxNames[box]);
    if (!Check(got[box].serial == want.serial && got[box].date == want.date, name,
               "serial 0x%08x (want 0x%08x), date 0x%08x (want 0x%08x)", got[box].serial,
               want.serial, got[box].date, want.date)) {
      ++violations;
    }
  }
  uint8_t memory[kEepromBytes];
  bool padded = ControlEepromRead(control, 0, memory);
  for (uint32_t a = kPortPaddingFrom; a < kEepromBytes && padded; ++a) {
    padded = memory[a] == PortPadding(a);
  }
  if (!Check(padded, "shared: port box EEPROM bytes 12-127 unchanged")) ++violations;
  if (!Check(area[10] == kBridgeSpare[0] && area[11] == kBridgeSpare[1] && area[14] == 0 &&
                 area[15] == 0,
             "shared: bridge box user-area bytes outside the fields unchanged")) {
    ++violations;
  }
  BoxInfo info;
  sim::BridgeBox bridge;
  const bool released = PortSettled(control, 0, &info) && info.drawerLine == 1;
  if (!Check(released, "shared: the port box's drawer is released at the end")) ++violations;
  if (!Check(BridgeSnapshot(0, &bridge) && !bridge.open,
             "shared: the bridge box is not left open")) {
    ++violations;
  }
  ControlClose(control);
  printf(
      "shared boxes: %u processes, 2 boxes, %.1f s: %u library calls in %u sessions, %u kicks "
      "(bridge %u, port %u; %u port kicks refused during another process's pulse), %u invariant "
      "violations\n",
      kWorkers, elapsedS, ops, sessions, kicks[0] + kicks[1], kicks[kBridge], kicks[kPort],
      refused[kPort], violations);
  return Summary();
}

}  // namespace

int main(int argc, char** argv) {
  // A process that crashes (this one or a child, which inherits the mode) ends at once with
  // its exception code, instead of waiting behind a crash dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  if (argc == 5 && strcmp(argv[1], "--worker") == 0) {
    return WorkerMain(static_cast<uint32_t>(atoi(argv[2])), argv[3],
                      static_cast<uint32_t>(atoi(argv[4])));
  }
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: three_processes_two_boxes_check TEVRO_DLL [SECONDS]\n");
    return 2;
  }
  const uint32_t seconds = argc == 3 ? static_cast<uint32_t>(atoi(argv[2])) : kDefaultSeconds;
  return RunMain(argv[1], seconds > 0 ? seconds : kDefaultSeconds);
}

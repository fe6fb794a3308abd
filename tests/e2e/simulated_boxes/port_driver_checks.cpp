// Checks of the stand-in port driver: the driver contract on \\.\Drelvan_N as the library
// uses it, boxes absent and pulled out, the event log and its clock, the control tool.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "driver/control_client.h"
#include "models/eeprom_fault_text.h"
#include "sim_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

using namespace drelvansim;

namespace e2e {
namespace {

constexpr DWORD kToolTimeoutMs = 30000;
constexpr uint32_t kRequestCode = 4;
constexpr uint32_t kRecoveryCode = 0x222031;
constexpr uint8_t kFill = 0xAA;

// Pins of the box's serial EEPROM.
constexpr uint8_t kChipSelect = 0x08;
constexpr uint8_t kClock = 0x10;
constexpr uint8_t kDataIn = 0x20;
constexpr uint8_t kDataOut = 0x40;  // written 1 so that the part can drive it

HANDLE OpenBox(uint32_t box) {
  char path[sizeof kBoxPathTemplate];
  memcpy(path, kBoxPathTemplate, sizeof path);
  path[sizeof path - 2] = static_cast<char>('0' + box);
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One request with the reply block prefilled with kFill; returns DeviceIoControl's result.
BOOL Transfer(HANDLE device, DWORD code, const uint8_t (&command)[4], uint8_t (&reply)[6],
              DWORD* bytes) {
  memset(reply, kFill, sizeof reply);
  *bytes = 0xFFFF;
  return DeviceIoControl(device, code, const_cast<uint8_t*>(command), 4, reply, 6, bytes, nullptr);
}

bool Configure(HANDLE control, const BoxConfig& config) {
  return ControlConfigure(control, config);
}

bool SameCommand(const Event& e, const uint8_t (&command)[4]) {
  return memcmp(e.command, command, 4) == 0;
}

// --- the serial EEPROM at pin level, through the driver ---------------------------------

struct PinPort {
  HANDLE device;
  bool ok;
};

void PinWrite(PinPort& port, uint8_t pattern) {
  const uint8_t command[4] = {0x15, 0x00, pattern, 0x00};
  uint8_t reply[6];
  DWORD bytes = 0;
  if (!Transfer(port.device, kRequestCode, command, reply, &bytes)) port.ok = false;
}

bool PinSample(PinPort& port, uint8_t lastPattern) {
  const uint8_t command[4] = {0x14, 0x00, lastPattern, 0x00};
  uint8_t reply[6];
  DWORD bytes = 0;
  if (!Transfer(port.device, kRequestCode, command, reply, &bytes)) port.ok = false;
  return (reply[1] & kDataOut) != 0;
}

void ClockBit(PinPort& port, bool bit) {
  const uint8_t level = kChipSelect | kDataOut | (bit ? kDataIn : 0);
  PinWrite(port, level);
  PinWrite(port, level | kClock);
}

void ClockBits(PinPort& port, uint32_t bits, uint32_t count) {
  for (uint32_t i = count; i-- > 0;) ClockBit(port, ((bits >> i) & 1) != 0);
}

void Deselect(PinPort& port) { PinWrite(port, kDataOut); }

// READ (1 10 aaaaaaa): a dummy 0, then D7..D0. *dummy receives the dummy bit.
uint8_t EepromRead(PinPort& port, uint8_t address, bool* dummy) {
  Deselect(port);
  PinWrite(port, kChipSelect | kDataOut);
  ClockBits(port, 0x6, 3);
  ClockBits(port, address, 7);
  *dummy = PinSample(port, kChipSelect | kDataOut | kClock);
  uint8_t value = 0;
  for (int i = 0; i < 8; ++i) {
    PinWrite(port, kChipSelect | kDataOut);
    PinWrite(port, kChipSelect | kDataOut | kClock);
    value = static_cast<uint8_t>(value << 1 |
                                 (PinSample(port, kChipSelect | kDataOut | kClock) ? 1 : 0));
  }
  Deselect(port);
  return value;
}

// One instruction of `count` bits (start bit included), then chip select low.
void EepromInstruction(PinPort& port, uint32_t bits, uint32_t count) {
  Deselect(port);
  PinWrite(port, kChipSelect | kDataOut);
  ClockBits(port, bits, count);
  Deselect(port);
}

// What a write's wait for ready saw: data out's first look, and how long the part was busy.
struct ReadyWait {
  bool busyAtFirst = false;
  bool ready = false;
  uint64_t busyUs = 0;
};

// EWEN, WRITE, a wait for ready (select again, look at data out until it reads 1, at most
// 1 s), EWDS: nothing goes into the part while it programs.
ReadyWait EepromWrite(PinPort& port, uint8_t address, uint8_t value) {
  ReadyWait wait;
  EepromInstruction(port, 0x260, 10);       // EWEN 1 00 11xxxxx
  const uint64_t programmedFrom = NowUs();  // before the deselect that starts it
  EepromInstruction(port, (0x5u << 15) | (address << 8) | value, 18);  // WRITE 1 01 a d
  PinWrite(port, kChipSelect | kDataOut);
  for (int look = 0; port.ok && NowUs() - programmedFrom < 1000000; ++look) {
    wait.ready = PinSample(port, kChipSelect | kDataOut);
    if (look == 0) wait.busyAtFirst = !wait.ready;
    if (wait.ready) break;
  }
  wait.busyUs = NowUs() - programmedFrom;
  EepromInstruction(port, 0x200, 10);  // EWDS 1 00 00xxxxx
  return wait;
}

// --- the checks --------------------------------------------------------------------------

void ContractChecks(HANDLE control, const std::string& simctl) {
  BoxConfig config = NoChange(0);
  config.fields = kConfigPresent | kConfigStatus;
  config.present = 1;
  config.status = 0xF3;
  Check(Configure(control, config), "port: box 0 plugged in with status F3");

  HANDLE device = OpenBox(0);
  Check(device != INVALID_HANDLE_VALUE, "port: CreateFileA \\\\.\\Drelvan_0 opens a present box",
        "error %lu", GetLastError());
  if (device == INVALID_HANDLE_VALUE) return;

  uint8_t reply[6];
  DWORD bytes = 0;
  const uint8_t statusRead[4] = {0x14, 0x14, 0x00, 0x00};
  BOOL ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok && bytes == 6 && reply[1] == 0xF3,
        "port: status read 14 14 00 00 returns the configured status F3",
        "ok=%d bytes=%lu reply[1]=%02x", ok, bytes, reply[1]);

  Check(RunTool(simctl, "port set 0 status=0xF5"), "port: simctl port set 0 status=0xF5");
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok && reply[1] == 0xF5, "port: a status set by simctl reaches an open handle",
        "ok=%d reply[1]=%02x", ok, reply[1]);

  // The drawer write and its record in the log, timed on the caller's clock.
  const uint32_t mark = PortLogMark(control);
  const uint8_t drawerWrite[4] = {0x17, 0x2F, 0xF6, 0x00};
  const uint64_t beforeUs = NowUs();
  ok = Transfer(device, kRequestCode, drawerWrite, reply, &bytes);
  const uint64_t afterUs = NowUs();
  Check(ok && bytes == 0 && reply[1] == kFill,
        "port: drawer write 17 2F F6 00 succeeds and leaves the reply block alone",
        "ok=%d bytes=%lu reply[1]=%02x", ok, bytes, reply[1]);
  bool requestLogged = false;
  bool lineLogged = false;
  uint64_t requestUs = 0;
  for (const Event& e : PortEventsSince(control, mark)) {
    if (e.kind == kEventRequest && e.box == 0 && e.ok && e.code == kRequestCode &&
        SameCommand(e, drawerWrite)) {
      requestLogged = true;
      requestUs = e.timeUs;
    }
    if (e.kind == kEventDrawer && e.box == 0 && e.level == 0 && SameCommand(e, drawerWrite)) {
      lineLogged = true;
    }
  }
  Check(requestLogged && requestUs >= beforeUs && requestUs <= afterUs,
        "port: the drawer write is logged with a time inside the call",
        "logged=%d t=%llu call=%llu..%llu", requestLogged,
        static_cast<unsigned long long>(requestUs), static_cast<unsigned long long>(beforeUs),
        static_cast<unsigned long long>(afterUs));
  Check(lineLogged, "port: the drawer line's change to 0 is logged");
  BoxInfo info;
  Check(ControlQuery(control, 0, info) && info.port == 0xF6 && info.drawerLine == 0 &&
            info.drawerPulses == 1,
        "port: the box holds F6 with the drawer line at 0 after the write",
        "port=%02x line=%u pulses=%u", info.port, info.drawerLine, info.drawerPulses);

  Check(RunTool(simctl, "port set 0 switch=closed"), "port: simctl port set 0 switch=closed");
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok && reply[1] == 0xF2, "port: a closed switch pulls bit 2 of the status low",
        "ok=%d reply[1]=%02x", ok, reply[1]);

  // Recovery: in-direct transfer, the status becomes valid only through it.
  config = NoChange(0);
  config.fields = kConfigStatus | kConfigSwitch | kConfigRecovery;
  config.status = 0x00;
  config.switchClosed = 0;
  config.recoveryOnly = 1;
  config.recoveredStatus = 0xF3;
  Configure(control, config);
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok && reply[1] == 0x00, "port: an invalid status 00 is read as such", "reply[1]=%02x",
        reply[1]);
  ok = Transfer(device, kRecoveryCode, statusRead, reply, &bytes);
  Check(ok && bytes == 6 && reply[1] == 0xF3,
        "port: the recovery request 0x222031 (in-direct) answers the recovered status F3",
        "ok=%d bytes=%lu reply[1]=%02x", ok, bytes, reply[1]);
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok && reply[1] == 0xF3, "port: the status stays F3 after the recovery", "reply[1]=%02x",
        reply[1]);

  // Failures reach DeviceIoControl as a zero result, with the reply block untouched.
  config = NoChange(0);
  config.fields = kConfigFailFrom;
  config.failFrom = 1;
  Configure(control, config);
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(!ok && reply[1] == kFill, "port: an injected failure makes DeviceIoControl return 0",
        "ok=%d reply[1]=%02x", ok, reply[1]);
  config.failFrom = 0;
  Configure(control, config);
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok, "port: requests succeed again once the fault is off");
  const uint8_t unknown[4] = {0x33, 0x00, 0x00, 0x00};
  Check(!Transfer(device, kRequestCode, unknown, reply, &bytes),
        "port: an unknown command block fails");
  Check(!DeviceIoControl(device, kRequestCode, const_cast<uint8_t*>(statusRead), 3, reply, 6,
                         &bytes, nullptr),
        "port: a command block shorter than 4 bytes fails");
  Check(!Transfer(device, 8, statusRead, reply, &bytes), "port: an unknown control code fails");

  // Pulled out while open: requests fail and the path disappears; plugged in again: back.
  Check(RunTool(simctl, "port remove 0"), "port: simctl port remove 0");
  ok = Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(!ok, "port: a request on a handle of a pulled-out box fails");
  HANDLE again = OpenBox(0);
  Check(again == INVALID_HANDLE_VALUE, "port: CreateFileA fails once the box is pulled out");
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
  CloseHandle(device);
  Check(RunTool(simctl, "port add 0"), "port: simctl port add 0");
  device = OpenBox(0);
  ok = device != INVALID_HANDLE_VALUE && Transfer(device, kRequestCode, statusRead, reply, &bytes);
  Check(ok && reply[1] == 0xF3, "port: the box answers again once plugged in", "reply[1]=%02x",
        reply[1]);
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

void AbsentBoxChecks(HANDLE control) {
  BoxInfo info;
  Check(ControlQuery(control, 1, info) && !info.present && !info.linked,
        "port: box 1 is absent after a reset");
  HANDLE device = OpenBox(1);
  const DWORD error = GetLastError();
  Check(device == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND,
        "port: CreateFileA \\\\.\\Drelvan_1 fails for an absent box", "handle=%p error=%lu", device,
        error);
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

// Box 0's counters once every close of it has reached the driver (Wine delivers a close to
// the driver after CloseHandle has returned), waiting at most two seconds.
BoxInfo SettledBox(HANDLE control) {
  constexpr uint64_t kSettleUs = 2000000;
  const uint64_t startUs = NowUs();
  BoxInfo info;
  for (;;) {
    const bool read = ControlQuery(control, 0, info);
    if (!read || info.closes == info.opens || NowUs() - startUs >= kSettleUs) return info;
    Sleep(5);
  }
}

void OpenCloseChecks(HANDLE control) {
  const BoxInfo before = SettledBox(control);
  HANDLE device = OpenBox(0);
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  const BoxInfo after = SettledBox(control);
  Check(before.opens == before.closes && after.opens == before.opens + 1 &&
            after.closes == before.closes + 1,
        "port: an open and a close of the device are counted once each",
        "opens %u->%u closes %u->%u", before.opens, after.opens, before.closes, after.closes);
}

void EepromChecks(HANDLE control, const std::string& simctl) {
  const uint8_t preset[2] = {0xA5, 0x3C};
  Check(ControlEepromWrite(control, 0, 0x10, preset, sizeof preset),
        "port: EEPROM bytes set through the control device");
  PinPort port = {OpenBox(0), true};
  if (port.device == INVALID_HANDLE_VALUE) {
    Check(false, "port: box 0 opens for the EEPROM checks");
    return;
  }
  bool dummy = true;
  const uint8_t first = EepromRead(port, 0x10, &dummy);
  bool dummy2 = true;
  const uint8_t second = EepromRead(port, 0x11, &dummy2);
  Check(port.ok && !dummy && !dummy2 && first == 0xA5 && second == 0x3C,
        "port: a READ clocked through pin writes and samples returns the EEPROM bytes",
        "transfers ok=%d dummy=%d,%d bytes=%02x %02x", port.ok, dummy, dummy2, first, second);

  const ReadyWait wait = EepromWrite(port, 0x20, 0x5A);
  uint8_t memory[kEepromBytes];
  const bool read = ControlEepromRead(control, 0, memory);
  BoxInfo info;
  ControlQuery(control, 0, info);
  Check(port.ok && read && memory[0x20] == 0x5A && !info.eepromWritable,
        "port: EWEN, WRITE, a wait for ready, EWDS clocked through the pins program the byte",
        "ok=%d byte=%02x writable=%u", port.ok, memory[0x20], info.eepromWritable);
  // The part programs for its time (4 ms unless set otherwise), showing busy on data out
  // when selected again, then ready; a look at it is no start bit.
  Check(wait.ready && wait.busyAtFirst && wait.busyUs >= info.programUs &&
            info.programUs == kDefaultProgramUs && info.busyStarts == 0,
        "port: after a write the part shows busy on data out for its programming time, then "
        "ready",
        "ready %d, busy at the first look %d, %.2f ms, program-us=%u, busy starts %u", wait.ready,
        wait.busyAtFirst, static_cast<double>(wait.busyUs) / 1000.0, info.programUs,
        info.busyStarts);
  CloseHandle(port.device);

  // Saved to a file and loaded back after a change.
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  const std::string file = std::string(folder) + "sim_check_eeproms.txt";
  Check(RunTool(simctl, "port save " + Quote(file)), "port: simctl port save");
  const uint8_t other = 0x00;
  ControlEepromWrite(control, 0, 0x20, &other, 1);
  Check(RunTool(simctl, "port load " + Quote(file)), "port: simctl port load");
  ControlEepromRead(control, 0, memory);
  Check(memory[0x20] == 0x5A && memory[0x10] == 0xA5,
        "port: a loaded EEPROM file restores the saved bytes", "bytes %02x %02x", memory[0x20],
        memory[0x10]);
  DeleteFileA(file.c_str());

  std::string output;
  Check(RunTool(simctl, "port eeprom 0 0x10 2", &output) && output.find("a5 3c") == 0,
        "port: simctl port eeprom prints the bytes", "output '%s'", output.c_str());
}

// A data-in change with the clock high, made on purpose: the box, the driver's tally, the
// log and simctl show it, and a box's cleared counters leave the tally alone.
void TimingFaultChecks(HANDLE control, const std::string& simctl) {
  const char kFault[] = "command after 1 bit: CS=1 SK=1 DI=1 -> CS=1 SK=1 DI=0";
  const uint8_t kDropped[4] = {0x15, 0x00, kChipSelect | kDataOut | kClock, 0x00};
  Check(RunTool(simctl, "port set 0 counters=clear"), "port: simctl port set 0 counters=clear");
  SimInfo before;
  ControlInfo(control, before);
  const uint32_t mark = PortLogMark(control);
  PinPort port = {OpenBox(0), true};
  Deselect(port);
  PinWrite(port, kChipSelect | kDataOut);
  ClockBit(port, true);         // the start bit, clock left high
  PinWrite(port, kDropped[2]);  // data in dropped with the clock high
  Deselect(port);
  CloseHandle(port.device);
  TimingFaultsCausedOnPurpose(1);

  BoxInfo box;
  SimInfo after;
  char text[sim::kEepromFaultTextSize];
  const bool read = ControlQuery(control, 0, box) && ControlInfo(control, after);
  sim::EepromTimingFaultText(box.firstTimingFault, text, sizeof text);
  Check(port.ok && read && box.timingFaults == 1 && strcmp(text, kFault) == 0 &&
            after.timingFaults == before.timingFaults + 1,
        "port: a data-in change with the clock high is a timing fault of the box and the driver",
        "ok=%d box %u (%s), driver %u->%u", port.ok, box.timingFaults, text, before.timingFaults,
        after.timingFaults);
  const std::vector<Event> events = PortEventsSince(control, mark);
  bool logged = false;
  for (size_t i = 1; i < events.size(); ++i) {
    sim::EepromTimingFaultText(TimingFaultOfEvent(events[i]), text, sizeof text);
    logged =
        logged || (events[i].kind == kEventTimingFault && events[i].code == 1 &&
                   SameCommand(events[i], kDropped) && strcmp(text, kFault) == 0 &&
                   events[i - 1].kind == kEventRequest && SameCommand(events[i - 1], kDropped));
  }
  Check(logged, "port: the log shows the fault right after the pin write that made it");
  std::string show, log;
  Check(RunTool(simctl, "port show 0", &show) &&
            show.find(std::string(" timing-faults=1 first-fault=\"") + kFault + "\"") !=
                std::string::npos &&
            RunTool(simctl, "port log from=" + std::to_string(mark), &log) &&
            log.find(std::string(" timing-fault count=1 cmd=15 00 58 00 fault=\"") + kFault +
                     "\"") != std::string::npos,
        "port: simctl port show and port log print the fault", "show '%s'", show.c_str());
  SimInfo cleared;
  Check(RunTool(simctl, "port set 0 counters=clear") && ControlQuery(control, 0, box) &&
            box.timingFaults == 0 && ControlInfo(control, cleared) &&
            cleared.timingFaults == after.timingFaults,
        "port: cleared counters clear the box's timing faults, not the driver's tally",
        "box %u, driver %u", box.timingFaults, cleared.timingFaults);
}

void SecondProcessChecks(HANDLE control) {
  BoxInfo before;
  BoxInfo after;
  ControlQuery(control, 0, before);
  DWORD code = 1;
  const bool ended = RunProcess(SelfCommand() + " --child port-kick 0", kToolTimeoutMs, &code);
  ControlQuery(control, 0, after);
  Check(ended && code == 0 && after.served[kDrawerWrite] == before.served[kDrawerWrite] + 1,
        "port: a second process's drawer write reaches the same box",
        "ended=%d code=%lu writes %u->%u", ended, code, before.served[kDrawerWrite],
        after.served[kDrawerWrite]);
}

// The hold, as the checks that kill a process at a chosen request use it: another process's
// drawer write (its only request) is held; then it is either let go, and carried out as if
// never held, or its process is killed, and it is cancelled, never carried out. Either way
// the line changes only if the request was carried out, and the log says which.
void HoldChecks(HANDLE control) {
  struct Case {
    const char* name;
    bool kill;
  };
  const Case kCases[] = {{"let go", false}, {"its process killed", true}};
  for (const Case& k : kCases) {
    const std::string name = std::string("hold, ") + k.name + ": ";
    PortPlugIn(control, 0);
    const uint32_t mark = PortLogMark(control);
    const bool armed = PortHold(control, 0, 0, 1, kHoldFromArming);
    BackgroundRun child;
    StartBackground(child, SelfCommand() + " --child port-kick 0", kToolTimeoutMs);
    HoldState held;
    const bool reached = WaitForHold(control, kHoldHeld, child.thread, kToolTimeoutMs, &held);
    BoxInfo during;
    ControlQuery(control, 0, during);
    Check(armed && reached && held.counted == 1 && during.drawerLine == 1 &&
              WaitForSingleObject(child.thread, 0) == WAIT_TIMEOUT,
          (name + "the process's first request is held pending, not carried out").c_str(),
          "armed %d, phase %u, counted %u, line %u", armed, held.phase, held.counted,
          during.drawerLine);
    if (k.kill) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, held.pid);
      if (process != nullptr) TerminateProcess(process, 0xDEAD);
      if (process != nullptr) CloseHandle(process);
    } else {
      ControlLetGo(control, true);
    }
    JoinBackground(child);
    HoldState after;
    const bool ended =
        WaitForHold(control, k.kill ? kHoldCancelled : kHoldCarriedOut, nullptr, 5000, &after);
    const BoxInfo settled = SettledBox(control);
    uint32_t requests = 0, holds = 0, opens = 0;
    for (const Event& e : PortEventsSince(control, mark)) {
      if (e.box != 0 || e.pid != held.pid) continue;
      requests += e.kind == kEventRequest ? 1 : 0;
      holds += e.kind == kEventHold ? 1 : 0;
      opens += e.kind == kEventOpen ? 1 : 0;
    }
    Check(ended && settled.closes == settled.opens && settled.drawerLine == (k.kill ? 1 : 0) &&
              requests == (k.kill ? 0u : 1u) && opens == 1 &&
              (k.kill || (child.ended && child.exitCode == 0)),
          (name + (k.kill ? "the request is cancelled and never carried out; the handle closes"
                          : "the request is carried out and answered; the process goes on"))
              .c_str(),
          "phase %u, line %u, %u requests and %u opens logged under pid %u, exit 0x%lx",
          after.phase, settled.drawerLine, requests, opens, held.pid, child.exitCode);
    Check(holds >= 1, (name + "the log shows the hold under the process's id").c_str());
    ControlResetAll(control);
  }
}

}  // namespace

int PortKickChild(uint32_t box) {
  HANDLE device = OpenBox(box);
  if (device == INVALID_HANDLE_VALUE) return 1;
  const uint8_t drawerWrite[4] = {0x17, 0x2F, 0xF6, 0x00};
  uint8_t reply[6];
  DWORD bytes = 0;
  const BOOL ok = Transfer(device, kRequestCode, drawerWrite, reply, &bytes);
  CloseHandle(device);
  return ok ? 0 : 1;
}

void PortChecks(const std::string& simctl) {
  HANDLE control = ControlOpen();
  if (!Check(control != INVALID_HANDLE_VALUE, "port: the driver's control device opens",
             "error %lu (is the driver service running?)", GetLastError())) {
    return;
  }
  SimInfo info;
  const uint64_t beforeUs = NowUs();
  const bool answered = ControlInfo(control, info);
  const uint64_t afterUs = NowUs();
  Check(answered && info.version == kInterfaceVersion && info.boxCount == kBoxCount,
        "port: the driver answers with its interface version");
  Check(answered && info.nowUs >= beforeUs && info.nowUs <= afterUs,
        "port: the driver's clock is the caller's performance counter",
        "driver %llu, caller %llu..%llu", static_cast<unsigned long long>(info.nowUs),
        static_cast<unsigned long long>(beforeUs), static_cast<unsigned long long>(afterUs));
  Check(RunTool(simctl, "port reset-all"), "port: simctl port reset-all");

  AbsentBoxChecks(control);
  ContractChecks(control, simctl);
  OpenCloseChecks(control);
  EepromChecks(control, simctl);
  TimingFaultChecks(control, simctl);
  SecondProcessChecks(control);
  HoldChecks(control);
  ControlClose(control);
}

}  // namespace e2e

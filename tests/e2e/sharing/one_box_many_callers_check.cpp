// one_box_many_callers_check: one driver-port box shared by processes and threads that take
// no lock of their own, under Wine (three_processes_two_boxes_check is the run over two boxes
// of both variants). The library alone must keep their operations apart:
//   record         two processes read and write the identity record and kick, for SECONDS;
//   threads        one process, three threads: kicks with its own message loop, switch
//                  reads, serial number writes and reads;
//   killed write   processes killed inside a serial number write, each followed by another
//                  process's operations on the box (identity/killed_write_run.cpp);
//   kicks          two processes kick as often as they may; then one is killed with its
//                  pulse running, and the other's next call releases it;
//   pulse timer, unload, dead pulse
//                  the library's own timer ends every pulse, FreeLibrary with a pulse
//                  pending, a dead process's pulse (pulse/pulse_timer_runs.cpp).
// Each run ends with one "shared RUN: ..." line of figures.
//
//   one_box_many_callers_check TEVRO_DLL [SECONDS]
//                  every run (record SECONDS, default 15; threads and kicks two thirds of it)
//   one_box_many_callers_check TEVRO_DLL SECONDS --with OTHER_EXE OTHER_DLL
//                  record and kicks with the second process (and the killed one) OTHER_EXE,
//                  this program built for the other architecture, on its TEVRO.DLL
//   one_box_many_callers_check --role NAME ARGS...
//                  a part played in another process (one_box_many_callers.h)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "sharing/one_box_many_callers.h"
#include "support/boxes.h"
#include "support/check_support.h"
#include "support/tevro_library.h"

using namespace e2e;
using namespace drelvansim;

namespace {

constexpr uint32_t kDefaultSeconds = 15;
constexpr DWORD kReadyWaitMs = 60000;
constexpr DWORD kPollMs = 100;
constexpr DWORD kChildMs = 60000;
constexpr DWORD kTimerLimitMs = 1000;
constexpr uint64_t kPulseUs = 60000;

using Context = SharingContext;

uint32_t Field(const std::string& output, const std::string& key) {
  return static_cast<uint32_t>(strtoul(ValueOf(output, key.c_str()).c_str(), nullptr, 10));
}

// Counts failed checks, which each run adds to its violations.
struct Tally {
  uint32_t failed = 0;
  bool operator()(bool ok) {
    if (!ok) ++failed;
    return ok;
  }
};

bool SetUpBox(const Context& c, bool switchClosed) {
  uint8_t padding[kEepromBytes - kPaddingFrom];
  for (uint32_t a = kPaddingFrom; a < kEepromBytes; ++a) padding[a - kPaddingFrom] = PaddingByte(a);
  return ControlResetAll(c.control) && BridgeResetAll() &&
         PortPlugIn(c.control, 0, 0xF3, switchClosed) &&
         PortWriteIdentity(c.control, 0, Identity{kStartCount, kStartSerial, kStartDate}) &&
         ControlEepromWrite(c.control, 0, kPaddingFrom, padding, sizeof padding);
}

bool PaddingIntact(const uint8_t (&memory)[kEepromBytes]) {
  for (uint32_t a = kPaddingFrom; a < kEepromBytes; ++a) {
    if (memory[a] != PaddingByte(a)) return false;
  }
  return true;
}

bool PaddingIntactNow(const Context& c) {
  uint8_t memory[kEepromBytes];
  return ControlEepromRead(c.control, 0, memory) && PaddingIntact(memory);
}

bool Released(const Context& c) {
  BoxInfo info;
  return PortSettled(c.control, 0, &info) && info.drawerLine == 1;
}

bool LoadTevro(const std::string& dll, Tevro& t, unsigned char* device) {
  return LoadSharedTevro(dll, t, device);
}

// The driver's drawer-line events of box 0, read as they come so the log cannot wrap first.
struct DrawerLog {
  uint32_t next = 0;
  bool gap = false;
  std::vector<Event> drawer;
  std::vector<Event> buffer;
};

void LogFrom(const Context& c, DrawerLog& log) {
  log.next = PortLogMark(c.control);
  log.buffer.resize(kLogCapacity);
}

void LogPoll(const Context& c, DrawerLog& log) {
  uint32_t returned = 0, next = log.next, oldest = 0;
  if (!ControlReadLog(c.control, log.next, log.buffer.data(), kLogCapacity, &returned, &next,
                      &oldest) ||
      oldest > log.next) {
    log.gap = true;
  }
  for (uint32_t i = 0; i < returned; ++i) {
    if (log.buffer[i].kind == kEventDrawer && log.buffer[i].box == 0) {
      log.drawer.push_back(log.buffer[i]);
    }
  }
  log.next = next;
}

struct PulseSummary {
  uint32_t count = 0, unreleased = 0, shorter = 0;
  double minMs = 0, medianMs = 0, maxMs = 0;
};

PulseSummary Summarize(const std::vector<Pulse>& pulses) {
  PulseSummary s;
  std::vector<double> widths;
  for (const Pulse& p : pulses) {
    ++s.count;
    if (p.highUs == 0) {
      ++s.unreleased;
      continue;
    }
    if (p.highUs - p.lowUs < kPulseUs) ++s.shorter;
    widths.push_back(static_cast<double>(p.highUs - p.lowUs) / 1000.0);
  }
  std::sort(widths.begin(), widths.end());
  if (!widths.empty()) {
    s.minMs = widths.front();
    s.medianMs = widths[widths.size() / 2];
    s.maxMs = widths.back();
  }
  return s;
}

// --- two processes running one role --------------------------------------------------------

struct Workers {
  BackgroundRun runs[kSharedWriters];
  bool together;  // both loaded the library and were let go at once
  double seconds;
};

// Runs ROLE in processes 1 and 2 (2 from the other program, when given), lets them go
// together once both have loaded the library, and waits for both, calling poll meanwhile.
void RunWorkers(const Context& c, const char* role, uint32_t seconds, Workers& w,
                const std::function<void()>& poll) {
  const std::string prefix = c.prefix + "-" + role;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-go").c_str());
  HANDLE ready[kSharedWriters];
  HANDLE threads[kSharedWriters];
  for (uint32_t id = 1; id <= kSharedWriters; ++id) {
    ready[id - 1] =
        CreateEventA(nullptr, TRUE, FALSE, (prefix + "-ready-" + std::to_string(id)).c_str());
    const bool other = id == 2 && !c.otherExe.empty();
    StartBackground(w.runs[id - 1],
                    (other ? Quote(c.otherExe) : SelfCommand()) + " --role " + role + " " +
                        std::to_string(id) + " " + Quote(other ? c.otherDll : c.dll) + " " +
                        std::to_string(seconds) + " " + prefix,
                    (seconds + 120) * 1000);
    threads[id - 1] = w.runs[id - 1].thread;
  }
  w.together = true;
  for (uint32_t i = 0; i < kSharedWriters; ++i) {
    HANDLE either[2] = {ready[i], threads[i]};
    w.together = w.together && WaitForMultipleObjects(2, either, FALSE, kReadyWaitMs) == 0;
  }
  SetEvent(go);
  const uint64_t startUs = NowUs();
  while (WaitForMultipleObjects(kSharedWriters, threads, TRUE, kPollMs) == WAIT_TIMEOUT) poll();
  poll();
  w.seconds = static_cast<double>(NowUs() - startUs) / 1e6;
  for (uint32_t i = 0; i < kSharedWriters; ++i) {
    JoinBackground(w.runs[i]);
    CloseHandle(ready[i]);
  }
  CloseHandle(go);
}

// Each process's end, and the violations it reported (printed); the sum of them.
uint32_t WorkerViolations(const char* run, const Workers& w, Tally& tally) {
  uint32_t violations = 0;
  for (uint32_t i = 0; i < kSharedWriters; ++i) {
    const BackgroundRun& r = w.runs[i];
    const bool clean = w.together && r.ended && r.exitCode == 0 && HasLine(r.output, "done");
    char name[128];
    snprintf(name, sizeof name, "%s: process %u loaded the library and ran to its end", run, i + 1);
    tally(Check(clean, name, "together=%d ended=%d exit=0x%lx", w.together, r.ended, r.exitCode));
    for (const std::string& v : ValuesOf(r.output, "violation")) printf("  %s\n", v.c_str());
    violations += Field(r.output, "violations");
  }
  return violations;
}

std::string RunName(const Context& c, const char* run) {
  return c.otherExe.empty() ? run : std::string(run) + " (" + c.arch + " + " + c.otherArch + ")";
}

// --- record: two processes read and write one record --------------------------------------

void RecordRun(const Context& c) {
  const std::string run = RunName(c, "record");
  const char* r = run.c_str();
  char name[256];
  snprintf(name, sizeof name, "%s: one driver-port box set up, no bridge box", r);
  if (!Check(SetUpBox(c, false), name)) return;
  Tally tally;
  uint32_t polls = 0, paddingChanged = 0;
  Workers w;
  RunWorkers(c, "record", c.seconds, w, [&] {
    uint8_t memory[kEepromBytes];
    if (!ControlEepromRead(c.control, 0, memory)) return;
    ++polls;
    if (!PaddingIntact(memory)) ++paddingChanged;
  });
  const uint32_t violations = WorkerViolations(r, w, tally);
  const char* const fields[kSharedFields] = {"serial", "date"};
  uint32_t ops[kSharedWriters], reads = 0, writes = 0, kicks = 0, refused = 0, maxCount = 0;
  uint32_t written[kSharedWriters][kSharedFields];
  bool seenWritten = true;
  for (uint32_t i = 0; i < kSharedWriters; ++i) {
    const std::string& out = w.runs[i].output;
    ops[i] = Field(out, "ops");
    reads += Field(out, "reads");
    writes += Field(out, "writes");
    kicks += Field(out, "kicks");
    refused += Field(out, "refused");
    maxCount = std::max(maxCount, Field(out, "max-count"));
    for (uint32_t f = 0; f < kSharedFields; ++f) {
      written[i][f] = Field(out, std::string("written-") + fields[f]);
    }
  }
  for (uint32_t i = 0; i < kSharedWriters; ++i) {
    for (uint32_t f = 0; f < kSharedFields; ++f) {
      for (uint32_t writer = 1; writer <= kSharedWriters; ++writer) {
        const uint32_t seen = Field(
            w.runs[i].output, std::string("seen-") + fields[f] + "-" + std::to_string(writer));
        seenWritten = seenWritten && seen <= written[writer - 1][f];
      }
    }
  }
  snprintf(name, sizeof name,
           "%s: every read gave the start value or a whole value a process wrote; every call "
           "succeeded; the counter never went back",
           r);
  tally(Check(violations == 0 && seenWritten, name, "%u violations, values beyond their writes %s",
              violations, seenWritten ? "none" : "read"));

  Identity got = {0, 0, 0};
  PortReadIdentity(c.control, 0, &got);
  snprintf(name, sizeof name, "%s: counter = %u + %u successful kicks", r, kStartCount, kicks);
  tally(Check(got.count == kStartCount + kicks && maxCount <= got.count, name,
              "counter %u, highest read %u", got.count, maxCount));
  const uint32_t final[kSharedFields] = {got.serial, got.date};
  const uint32_t start[kSharedFields] = {kStartSerial, kStartDate};
  bool lastWrites = true;
  for (uint32_t f = 0; f < kSharedFields; ++f) {
    bool any = false, match = false;
    for (uint32_t i = 0; i < kSharedWriters; ++i) {
      if (written[i][f] == 0) continue;
      any = true;
      match = match || final[f] == SharedValue(i + 1, f, written[i][f]);
    }
    lastWrites = lastWrites && (any ? match : final[f] == start[f]);
  }
  snprintf(name, sizeof name,
           "%s: serial number and date are each the last value one of the processes wrote", r);
  tally(Check(lastWrites, name, "serial 0x%08x, date 0x%08x", got.serial, got.date));
  snprintf(name, sizeof name, "%s: EEPROM bytes 12-127 never changed (%u reads during the run)", r,
           polls);
  tally(Check(paddingChanged == 0 && polls > 0 && PaddingIntactNow(c), name, "changed in %u reads",
              paddingChanged));
  snprintf(name, sizeof name, "%s: the drawer is released at the end", r);
  tally(Check(Released(c), name));
  printf(
      "shared %s: 2 processes on one driver-port box, %.1f s: %u operations (%u + %u), %u reads, "
      "%u writes, %u kicks (%u refused during the other's pulse), %u invariant violations\n",
      r, w.seconds, ops[0] + ops[1], ops[0], ops[1], reads, writes, kicks, refused,
      violations + tally.failed);
}

// --- threads: one process, three threads ---------------------------------------------------

struct Threads {
  const Tevro* t;
  uint64_t deadline;
  CRITICAL_SECTION print;
  LONG violations;
  uint32_t kicks, refused, unreleased, switchReads, writes, reads, lastSerial;
};

void ThreadViolation(Threads& s, const char* what, uint32_t value) {
  if (InterlockedIncrement(&s.violations) > 10) return;
  EnterCriticalSection(&s.print);
  printf("  violation: %s (0x%08x)\n", what, value);
  LeaveCriticalSection(&s.print);
}

// Kicks, dispatching this thread's messages until each pulse has ended.
DWORD WINAPI KickThread(LPVOID parameter) {
  Threads& s = *static_cast<Threads*>(parameter);
  uint32_t random = 7;
  while (NowUs() < s.deadline) {
    if (s.t->KasseOpen() == 1) {
      ++s.kicks;
      if (!PumpUntilReleased(0, kTimerLimitMs)) ++s.unreleased;
    } else {
      // This thread waits for each pulse's end before the next kick: none is pending.
      ++s.refused;
      ThreadViolation(s, "KasseOpen returned 0", 0);
    }
    random = random * 1103515245u + 12345u;
    PumpFor(random >> 8 & 15);
  }
  return 0;
}

// The switch is closed throughout: every read must say so.
DWORD WINAPI SwitchThread(LPVOID parameter) {
  Threads& s = *static_cast<Threads*>(parameter);
  while (NowUs() < s.deadline) {
    char flag = 0;
    const uint8_t state = s.t->GetSwitch(&flag);
    ++s.switchReads;
    if (state != 1 || flag != 1)
      ThreadViolation(s, "GetSwitch: state, read flag", state << 8 | static_cast<uint8_t>(flag));
    Sleep(1);
  }
  return 0;
}

// Writes serial numbers and reads each back; the other fields stay as they were.
DWORD WINAPI WriteThread(LPVOID parameter) {
  Threads& s = *static_cast<Threads*>(parameter);
  for (uint32_t k = 1; NowUs() < s.deadline; ++k) {
    const uint32_t value = SharedValue(1, kSerialField, k);
    ++s.writes;
    if (s.t->SetSerialNumber(value) != 1) ThreadViolation(s, "SetSerialNumber failed", value);
    s.lastSerial = value;
    ++s.reads;
    const uint32_t read = s.t->GetSerialNumber();
    if (read != value) ThreadViolation(s, "GetSerialNumber after the write", read);
    if (k % 4 == 0) {
      s.reads += 2;
      const uint32_t date = s.t->GetMfgDate();
      if (date != kStartDate) ThreadViolation(s, "GetMfgDate", date);
      const uint32_t count = s.t->GetLastOpenCnt();
      if (count != kStartCount) ThreadViolation(s, "GetLastOpenCnt", count);
    }
    // A pause, as a caller's own work between calls, lets the other threads in.
    Sleep(k % 8);
  }
  return 0;
}

void ThreadsRun(const Context& c) {
  const uint32_t seconds = std::max(2u, c.seconds * 2 / 3);
  Tevro t;
  unsigned char device = 0;
  if (!Check(SetUpBox(c, true), "threads: one driver-port box set up, its switch closed") ||
      !Check(LoadTevro(c.dll, t, &device) && t.OpenPosInterface(device) != -1,
             "threads: this process loads the library and opens the box")) {
    TevroUnload(t);
    return;
  }
  Tally tally;
  DrawerLog log;
  LogFrom(c, log);
  Threads s;
  memset(&s, 0, sizeof s);
  s.t = &t;
  InitializeCriticalSection(&s.print);
  const uint64_t startUs = NowUs();
  s.deadline = startUs + static_cast<uint64_t>(seconds) * 1000000u;
  LPTHREAD_START_ROUTINE bodies[3] = {KickThread, SwitchThread, WriteThread};
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) threads[i] = CreateThread(nullptr, 0, bodies[i], &s, 0, nullptr);
  const uint64_t limitUs = s.deadline + 60000000u;
  while (WaitForMultipleObjects(3, threads, TRUE, kPollMs) == WAIT_TIMEOUT && NowUs() < limitUs) {
    LogPoll(c, log);
  }
  const bool joined = WaitForMultipleObjects(3, threads, TRUE, 0) != WAIT_TIMEOUT;
  const double elapsedS = static_cast<double>(NowUs() - startUs) / 1e6;
  const uint32_t local = t.GetLocalOpenCnt();
  t.ClosePosInterface();
  TevroUnload(t);
  const bool released = Released(c);
  LogPoll(c, log);
  for (HANDLE h : threads) CloseHandle(h);
  DeleteCriticalSection(&s.print);

  tally(Check(joined && s.violations == 0 && local == s.kicks,
              "threads: every call succeeded and gave what the box holds (switch closed, the "
              "serial number last written, date and counter unchanged, every kick taken)",
              "threads ended %d, %ld violations, GetLocalOpenCnt %u after %u kicks", joined,
              s.violations, local, s.kicks));
  const PulseSummary p = Summarize(PulsesIn(log.drawer, 0));
  tally(Check(!log.gap && p.count == s.kicks && p.unreleased == 0 && p.shorter == 0 && released,
              "threads: one pulse per kick in the driver's log, each released after 60 ms or more",
              "log %s, %u pulses for %u kicks, %u unreleased, %u shorter than 60 ms",
              log.gap ? "incomplete" : "complete", p.count, s.kicks, p.unreleased, p.shorter));
  Identity got = {0, 0, 0};
  PortReadIdentity(c.control, 0, &got);
  tally(Check(got.count == kStartCount + s.kicks && got.serial == s.lastSerial &&
                  got.date == kStartDate && PaddingIntactNow(c),
              "threads: after the close the counter is its start plus every kick, the serial "
              "number the last written, the date and bytes 12-127 unchanged",
              "counter %u (want %u), serial 0x%08x (want 0x%08x), date 0x%08x", got.count,
              kStartCount + s.kicks, got.serial, s.lastSerial, got.date));
  printf(
      "shared threads: 1 process, 3 threads on one driver-port box, %.1f s: %u kicks, %u switch "
      "reads, %u serial writes and %u reads; pulses %.1f / %.1f / %.1f ms (min / median / max); "
      "%ld invariant violations\n",
      elapsedS, s.kicks, s.switchReads, s.writes, s.reads, p.minMs, p.medianMs, p.maxMs,
      s.violations + static_cast<LONG>(tally.failed));
}

// --- kicks: two processes kick one box; one is killed with its pulse running -----------------

// A process killed right after its kick, held back by the driver from ending its pulse itself:
// its pulse runs on until a call of another process, made once the 60 ms are up, releases it.
// *releasedMs: the pulse's width.
void KilledPulse(const Context& c, Tally& tally, double* releasedMs) {
  *releasedMs = 0;
  const std::string run = RunName(c, "killed pulse") + ": ";
  Tevro t;
  unsigned char device = 0;
  if (!Check(LoadTevro(c.dll, t, &device) && t.OpenPosInterface(device) != -1,
             (run + "this process loads the library and opens the box").c_str())) {
    TevroUnload(t);
    ++tally.failed;
    return;
  }
  const uint32_t mark = PortLogMark(c.control);
  uint32_t pid = 0;
  const bool fired =
      KillRightAfterKick(c, c.otherExe, c.otherExe.empty() ? c.dll : c.otherDll, &pid);
  std::vector<Pulse> pulses = PulsesIn(PortEventsSince(c.control, mark), 0);
  BoxInfo info;
  const bool running = fired && pulses.size() == 1 && pulses[0].highUs == 0 &&
                       ControlQuery(c.control, 0, info) && info.drawerLine == 0;
  tally(Check(running,
              (run + "a process killed right after its kick leaves its pulse running").c_str(),
              "kicked %d, %zu pulses in the log", fired, pulses.size()));
  // The survivor's calls: none may end the pulse before its 60 ms; the first call made once
  // they are up must.
  bool released = false, late = false;
  uint32_t calls = 0;
  const uint64_t fallUs = running ? pulses[0].lowUs : 0;
  for (uint64_t limitUs = NowUs() + 2000000u; running && !released && !late && NowUs() < limitUs;
       Sleep(5)) {
    const uint64_t calledUs = NowUs();
    char flag = 0;
    t.GetSwitch(&flag);
    ++calls;
    released = ControlQuery(c.control, 0, info) && info.drawerLine == 1;
    late = !released && calledUs >= fallUs + kPulseUs;
  }
  pulses = PulsesIn(PortEventsSince(c.control, mark), 0);
  const bool whole = pulses.size() == 1 && pulses[0].highUs >= pulses[0].lowUs + kPulseUs;
  if (whole) *releasedMs = static_cast<double>(pulses[0].highUs - pulses[0].lowUs) / 1000.0;
  tally(Check(released && whole,
              (run + "the other process's first call made once the 60 ms were up released it, "
                     "none before")
                  .c_str(),
              "released %d after %u calls, pulse %.1f ms", released, calls, *releasedMs));
  const bool again = t.KasseOpen() == 1 && PumpUntilReleased(0, kTimerLimitMs);
  tally(Check(again,
              (run + "the box then takes the other process's kick, and its pulse ends").c_str()));
  t.ClosePosInterface();
  TevroUnload(t);
}

void KicksRun(const Context& c) {
  const std::string run = RunName(c, "kicks");
  const char* r = run.c_str();
  char name[256];
  snprintf(name, sizeof name, "%s: one driver-port box set up", r);
  if (!Check(SetUpBox(c, false), name)) return;
  Tally tally;
  DrawerLog log;
  LogFrom(c, log);
  Workers w;
  RunWorkers(c, "kicker", std::max(2u, c.seconds * 2 / 3), w, [&] { LogPoll(c, log); });
  const uint32_t violations = WorkerViolations(r, w, tally);
  uint32_t kicks[kSharedWriters], refused = 0;
  for (uint32_t i = 0; i < kSharedWriters; ++i) {
    kicks[i] = Field(w.runs[i].output, "kicks");
    refused += Field(w.runs[i].output, "refused");
  }
  const uint32_t total = kicks[0] + kicks[1];
  const bool released = Released(c);
  LogPoll(c, log);
  const PulseSummary p = Summarize(PulsesIn(log.drawer, 0));
  snprintf(name, sizeof name,
           "%s: one pulse per successful kick, none overlapping another, each released after "
           "60 ms or more (driver's log)",
           r);
  tally(Check(!log.gap && p.count == total && p.unreleased == 0 && p.shorter == 0 && released &&
                  violations == 0,
              name, "log %s, %u pulses for %u kicks, %u unreleased, %u shorter than 60 ms",
              log.gap ? "incomplete" : "complete", p.count, total, p.unreleased, p.shorter));
  // How often the two kicked into each other's pulses depends on the machine's speed: the
  // refusals are a figure; overlapping pulses, had any been let through, show in the log.
  snprintf(name, sizeof name, "%s: both processes' kicks reached the box", r);
  tally(Check(kicks[0] > 0 && kicks[1] > 0, name, "kicks %u and %u, %u refused", kicks[0], kicks[1],
              refused));
  Identity got = {0, 0, 0};
  PortReadIdentity(c.control, 0, &got);
  snprintf(name, sizeof name, "%s: counter = %u + %u successful kicks", r, kStartCount, total);
  tally(Check(got.count == kStartCount + total, name, "counter %u", got.count));
  double killedMs = 0;
  KilledPulse(c, tally, &killedMs);
  printf(
      "shared %s: 2 processes kicking one driver-port box, %.1f s: %u pulses (%u + %u kicks), %u "
      "kicks refused during the other's pulse, none overlapping; pulses %.1f / %.1f / %.1f ms "
      "(min / median / max); a killed process's pulse released by the other's call after %.1f "
      "ms; %u invariant violations\n",
      r, w.seconds, p.count, kicks[0], kicks[1], refused, p.minMs, p.medianMs, p.maxMs, killedMs,
      violations + tally.failed);
}

}  // namespace

namespace e2e {

bool SetUpSharedBox(const SharingContext& c, bool switchClosed) {
  return SetUpBox(c, switchClosed);
}

bool LoadSharedTevro(const std::string& dll, Tevro& t, unsigned char* device) {
  int bound = 0;
  if (!TevroLoad(dll, t, &bound) || bound != kTevroExportCount) return false;
  const uint32_t counts = t.GetNumPos();
  *device = static_cast<unsigned char>(counts >> 8);
  return (counts & 0xFF) == 1;
}

bool StartChild(const std::string& commandLine, PROCESS_INFORMATION* process) {
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  std::string line = commandLine;
  return CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        process) != FALSE;
}

bool KillChild(PROCESS_INFORMATION& process) {
  const bool running = WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
  TerminateProcess(process.hProcess, 0xDEAD);
  WaitForSingleObject(process.hProcess, kChildMs);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return running;
}

bool KillRightAfterKick(const SharingContext& c, const std::string& exe, const std::string& dll,
                        uint32_t* pid) {
  const std::string prefix = c.prefix + "-hang-" + std::to_string(PortLogMark(c.control));
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-ready").c_str());
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-go").c_str());
  HANDLE kicked = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-kicked").c_str());
  PROCESS_INFORMATION child;
  bool fired = false;
  *pid = 0;
  if (StartChild((exe.empty() ? SelfCommand() : Quote(exe)) + " --role kick-and-hang " +
                     Quote(dll) + " " + prefix,
                 &child)) {
    *pid = child.dwProcessId;
    HANDLE either[2] = {ready, child.hProcess};
    if (WaitForMultipleObjects(2, either, FALSE, kChildMs) == WAIT_OBJECT_0 &&
        PortHold(c.control, 0, child.dwProcessId, 1, kHoldAfterPulse)) {
      SetEvent(go);
      either[0] = kicked;
      fired = WaitForMultipleObjects(2, either, FALSE, kChildMs) == WAIT_OBJECT_0;
    }
    fired = KillChild(child) && fired;
  }
  // A release the child had begun is cancelled with it; then the hold is off.
  HoldState state;
  if (ControlHoldState(c.control, state) && state.phase == kHoldHeld) {
    WaitForHold(c.control, kHoldCancelled, nullptr, kChildMs, &state);
  }
  PortHold(c.control, 0, 0, 0, kHoldFromArming);
  for (HANDLE h : {ready, go, kicked}) CloseHandle(h);
  return fired && state.phase != kHoldCarriedOut;
}

}  // namespace e2e

int main(int argc, char** argv) {
  // A process that crashes (this one or a child, which inherits the mode) ends at once with
  // its exception code, instead of waiting behind a crash dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  if (argc >= 2 && strcmp(argv[1], "--role") == 0) return SharingRoleMain(argc - 2, argv + 2);
  const bool mixed = argc == 6 && strcmp(argv[3], "--with") == 0;
  if (!mixed && (argc < 2 || argc > 3)) {
    fprintf(stderr,
            "usage: one_box_many_callers_check TEVRO_DLL [SECONDS]\n"
            "       one_box_many_callers_check TEVRO_DLL SECONDS --with OTHER_EXE OTHER_DLL\n");
    return 2;
  }
  Context c;
  c.dll = argv[1];
  c.seconds = argc >= 3 ? static_cast<uint32_t>(atoi(argv[2])) : 0;
  if (c.seconds == 0) c.seconds = kDefaultSeconds;
  c.arch = sizeof(void*) == 8 ? "x64" : "x86";
  if (mixed) {
    c.otherExe = argv[4];
    c.otherDll = argv[5];
    c.otherArch = sizeof(void*) == 8 ? "x86" : "x64";
  }
  c.prefix = "TevroE2E-sharing-" + std::to_string(GetCurrentProcessId());
  c.control = ControlOpen();
  bool ready = Check(c.control != INVALID_HANDLE_VALUE, "setup: the stand-in port driver answers");
  for (const std::string& file : {c.dll, c.otherExe, c.otherDll}) {
    if (!file.empty()) {
      ready = Check(GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES,
                    ("setup: " + file + " is there").c_str()) &&
              ready;
    }
  }
  if (ready) {
    RecordRun(c);
    if (!mixed) ThreadsRun(c);
    if (!mixed) KilledWriteRun(c);
    KicksRun(c);
    DeadPulseRun(c);
    if (!mixed) PulseTimerRun(c);
    if (!mixed) UnloadRun(c);
  }
  if (c.control != INVALID_HANDLE_VALUE) ControlClose(c.control);
  return Summary();
}

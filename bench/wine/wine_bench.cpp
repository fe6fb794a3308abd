// wine_bench: what TEVRO.DLL costs a Windows program against the stand-in driver and the
// stand-in ftd2xx.dll, measured on the performance counter (the clock the driver logs with).
//
//   wine_bench [--kicks=N] [--close-kicks=N] [--reads=N] [--writes=N] [--requests=N]
//              [--opens=N] [--lock-batches=N] [--contended-kicks=N] [--sessions=N]
//   wine_bench --writer=NAME     (the second process of the contended kicks, started by the first)
//
// Expects one bridge box and at least one driver-port box plugged in before it starts (the
// library counts the boxes when it is loaded). Loads TEVRO.DLL by the normal search (the
// program's folder first) and binds its functions by their decorated export names. Measures,
// in this order:
//   - one driver request on its own: N status reads on \\.\Drelvan_0 opened directly, and N
//     device opens and closes, without the library;
//   - N kicks of the first driver-port box: the time until KasseOpen returns, and the pulse
//     width from the driver's drawer-line events while this thread dispatches messages
//     until the log shows the release;
//   - N kicks after which the caller neither dispatches nor calls until the driver's log
//     shows the release: the pulse width when the library ends the pulse by itself;
//   - N kicks after which the caller never dispatches a message and calls GetNumPos in a
//     loop until the driver's log shows the release: the pulse width on that path;
//   - identity reads (GetSerialNumber) and writes (SetSerialNumber) on that box and on the
//     bridge box, each call paired with the same requests sent without the library (on the
//     driver-port box the requests the driver logged for one such call, sent again on a
//     device opened here; on the bridge box the same D2XX calls); the serial numbers are
//     put back afterwards.
//   - close-kicks sessions on the driver-port box, each KasseOpen then ClosePosInterface at
//     once: the pulse width and the close's duration.
//   - contended-kicks kicks while a second process (this program, --writer) writes the
//     serial number in a loop: the pulse width, who released each pulse (this process's timer
//     or the writer before its next request), the longest EEPROM instruction the log shows,
//     and each release judged by the requests served late before it (holder_release_log.h);
//   - the locks every export takes, uncontended: the box's named mutex as the library takes
//     and gives it for each operation on a box (driver-port and bridge), alone and around the
//     bare bridge field read, against that read without it; the process lock (a critical
//     section) entered and left;
//   - sessions whole sessions on the driver-port box, each in a fresh instance of the library:
//     the load (and from the driver's log the driver-port box's part of it), OpenPosInterface,
//     a field read and a field write, KasseOpen, ClosePosInterface once the pulse has ended:
//     the time and the requests the driver logged for each step.
// Also prints the requests the driver logged for a kick, a release, a field read and a
// field write.
// Prints one figure a line, tab-separated: NAME then values; a distribution is
//   NAME count min median p99 max mean   (microseconds unless the name says otherwise)
// "error<TAB>text" lines report what went wrong; the exit status is then 1.
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "d2xx_functions.h"
#include "driver/control_client.h"
#include "pulse/holder_release_log.h"
#include "tevro_api.h"

using namespace drelvansim;

namespace {

constexpr TEVRO_U32 kSerialProbe = 0x5A000000;  // serial numbers written: this + 0, 1, ...
constexpr uint32_t kUserAreaRecordBytes = 16;   // the identity record in the user area
constexpr uint32_t kPortBox = 0;                // \\.\Drelvan_0
constexpr uint64_t kReleaseWaitUs = 1000000;    // give up on a release after this long
constexpr DWORD kStatusRequestCode = 4;
const uint8_t kStatusRead[4] = {0x14, 0x14, 0x00, 0x00};

struct Options {
  uint32_t kicks = 100;
  uint32_t closeKicks = 20;
  uint32_t reads = 100;  // the bridge box gets 20 times as many reads and writes
  uint32_t writes = 40;
  uint32_t requests = 5000;
  uint32_t opens = 500;
  uint32_t lockBatches = 200;
  uint32_t contendedKicks = 20;
  uint32_t sessions = 20;
};

constexpr uint64_t kPulseUs = 60000;
constexpr DWORD kWriterWaitMs = 60000;
// The writer's exit status when a write failed or it could not start; otherwise its writes.
constexpr DWORD kWriterFailed = 0xFFFFFFFFu;

int g_errors = 0;

void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Error(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  printf("error\t%s\n", text);
  fflush(stdout);
  ++g_errors;
}

LARGE_INTEGER g_frequency;

uint64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart);
}

double TicksToUs(uint64_t ticks) {
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(g_frequency.QuadPart);
}

// The performance counter in microseconds, as the driver converts it.
uint64_t NowUs() {
  const uint64_t ticks = Ticks();
  const uint64_t hz = static_cast<uint64_t>(g_frequency.QuadPart);
  return ticks / hz * 1000000u + ticks % hz * 1000000u / hz;
}

// Nearest-rank percentile of sorted samples.
double Percentile(const std::vector<double>& sorted, double p) {
  size_t rank = static_cast<size_t>(p / 100.0 * sorted.size() + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > sorted.size()) rank = sorted.size();
  return sorted[rank - 1];
}

void PrintDistribution(const char* name, std::vector<double> samples) {
  if (samples.empty()) {
    printf("%s\t0\n", name);
    return;
  }
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (double s : samples) sum += s;
  printf("%s\t%u\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", name, static_cast<unsigned>(samples.size()),
         samples.front(), Percentile(samples, 50), Percentile(samples, 99), samples.back(),
         sum / samples.size());
  fflush(stdout);
}

// The exports, bound by their decorated names as an application binds them.
bool BindTevro(HMODULE dll, TevroApi& tevro) {
  const int found = BindTevroApi(
      TevroNames::kExport,
      [dll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); },
      [](const char* name) { Error("TEVRO.DLL does not export %s", name); }, &tevro);
  return found == kTevroExportCount;
}

// --- one driver request, without the library ---------------------------------------------

HANDLE OpenPortBox() {
  char path[sizeof kBoxPathTemplate];
  memcpy(path, kBoxPathTemplate, sizeof path);
  path[sizeof path - 2] = static_cast<char>('0' + kPortBox);
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

void MeasureRequests(const Options& options) {
  HANDLE device = OpenPortBox();
  if (device == INVALID_HANDLE_VALUE) {
    Error("cannot open port box %u (error %lu)", kPortBox, GetLastError());
    return;
  }
  std::vector<double> requestUs;
  requestUs.reserve(options.requests);
  uint32_t failed = 0;
  const uint64_t start = Ticks();
  for (uint32_t i = 0; i < options.requests; ++i) {
    uint8_t command[4];
    memcpy(command, kStatusRead, sizeof command);
    uint8_t reply[6] = {};
    DWORD bytes = 0;
    const uint64_t t0 = Ticks();
    BOOL ok = DeviceIoControl(device, kStatusRequestCode, command, sizeof command, reply,
                              sizeof reply, &bytes, nullptr);
    const uint64_t t1 = Ticks();
    if (!ok) ++failed;
    requestUs.push_back(TicksToUs(t1 - t0));
  }
  const double totalUs = TicksToUs(Ticks() - start);
  CloseHandle(device);
  if (failed != 0) Error("%u of %u status reads failed", failed, options.requests);
  PrintDistribution("request_us", requestUs);
  printf("requests_per_s\t%.1f\n", options.requests / totalUs * 1e6);

  std::vector<double> openCloseUs;
  for (uint32_t i = 0; i < options.opens; ++i) {
    const uint64_t t0 = Ticks();
    HANDLE h = OpenPortBox();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    const uint64_t t1 = Ticks();
    if (h == INVALID_HANDLE_VALUE) {
      Error("device open %u failed", i);
      break;
    }
    openCloseUs.push_back(TicksToUs(t1 - t0));
  }
  PrintDistribution("open_close_us", openCloseUs);
}

// --- kicks and pulses --------------------------------------------------------------------

struct Pulse {
  bool found = false;
  uint64_t startUs = 0;          // drawer line to 0 (driver's time)
  uint64_t endUs = 0;            // drawer line back to 1
  uint32_t kickRequests = 0;     // requests up to the fall, the one that caused it included
  uint32_t releaseRequests = 0;  // requests after the fall up to the rise, its cause included
};

// Events of the port box from sequence number `from` on, at most `capacity`.
std::vector<Event> BoxEvents(HANDLE control, uint32_t from, uint32_t capacity) {
  std::vector<Event> events(capacity);
  uint32_t returned = 0;
  uint32_t next = 0;
  if (!ControlReadLog(control, from, events.data(), capacity, &returned, &next)) returned = 0;
  events.resize(returned);
  return events;
}

// Drawer-line events of the port box from sequence number `from` on: the first fall to 0
// and the first rise to 1 after it, and the requests that led to each.
Pulse FindPulse(HANDLE control, uint32_t from) {
  Pulse pulse;
  bool started = false;
  uint32_t requests = 0;
  for (const Event& e : BoxEvents(control, from, 1024)) {
    if (e.box != kPortBox) continue;
    if (e.kind == kEventRequest) ++requests;
    if (e.kind != kEventDrawer) continue;
    if (!started && e.level == 0) {
      started = true;
      pulse.startUs = e.timeUs;
      pulse.kickRequests = requests;
      requests = 0;
    } else if (started && e.level == 1) {
      pulse.endUs = e.timeUs;
      pulse.releaseRequests = requests;
      pulse.found = true;
      break;
    }
  }
  return pulse;
}

uint32_t NextSeq(HANDLE control) {
  SimInfo info;
  return ControlInfo(control, info) ? info.eventCount : 0;
}

void MeasureKicks(const TevroApi& tevro, HANDLE control, const Options& options) {
  std::vector<double> returnUs, widthMs, returnBeforeStartUs, kickRequests, releaseRequests;
  uint32_t refused = 0, missing = 0, returnedBeforeRelease = 0;
  for (uint32_t k = 0; k < options.kicks; ++k) {
    const uint32_t from = NextSeq(control);
    const uint64_t t0 = Ticks();
    const TEVRO_BOOL kicked = tevro.KasseOpen();
    const uint64_t t1 = Ticks();
    const uint64_t returnedAtUs = NowUs();
    returnUs.push_back(TicksToUs(t1 - t0));
    if (!kicked) ++refused;

    // Dispatch messages as an application's loop does, looking in the driver's log for the
    // release after each message and at least every millisecond: the library's own timer
    // ends the pulse, the dispatch only shows that it does no harm.
    Pulse pulse;
    const uint64_t deadline = returnedAtUs + kReleaseWaitUs;
    for (;;) {
      const uint64_t now = NowUs();
      if (now >= deadline) break;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      pulse = FindPulse(control, from);
      if (pulse.found) break;
    }
    if (!pulse.found) {
      ++missing;
      // End it so that the next kick is not refused.
      tevro.KasseClose();
      continue;
    }
    widthMs.push_back(static_cast<double>(pulse.endUs - pulse.startUs) / 1000.0);
    kickRequests.push_back(pulse.kickRequests);
    releaseRequests.push_back(pulse.releaseRequests);
    if (returnedAtUs < pulse.endUs) ++returnedBeforeRelease;
    returnBeforeStartUs.push_back(static_cast<double>(returnedAtUs) -
                                  static_cast<double>(pulse.startUs));
  }
  if (refused != 0) Error("%u of %u kicks returned 0", refused, options.kicks);
  if (missing != 0) {
    Error("%u of %u pulses had no release in the driver's log within %llu ms", missing,
          options.kicks, static_cast<unsigned long long>(kReleaseWaitUs / 1000u));
  }
  PrintDistribution("kick_return_us", returnUs);
  // How long after the line fell KasseOpen's caller had control back: well under the pulse.
  PrintDistribution("kick_returned_after_pulse_start_us", returnBeforeStartUs);
  printf("kick_returned_before_release\t%u\t%u\n", returnedBeforeRelease,
         static_cast<unsigned>(widthMs.size()));
  PrintDistribution("pulse_width_ms", widthMs);
  PrintDistribution("kick_requests", kickRequests);
  PrintDistribution("release_requests", releaseRequests);
}

// Kicks after which the caller never dispatches: each export's entry ends a pulse whose
// 60 ms are up, so GetNumPos, called in a loop, releases the drawer.
void MeasureUndispatchedKicks(const TevroApi& tevro, HANDLE control, const Options& options) {
  std::vector<double> widthMs, callsPerPulse;
  uint32_t missing = 0;
  for (uint32_t k = 0; k < options.kicks; ++k) {
    const uint32_t from = NextSeq(control);
    if (!tevro.KasseOpen()) {
      Error("no-dispatch kick %u returned 0", k);
      continue;
    }
    const uint64_t deadline = NowUs() + kReleaseWaitUs;
    Pulse pulse;
    uint32_t calls = 0;
    while (!pulse.found && NowUs() < deadline) {
      tevro.GetNumPos();
      ++calls;
      pulse = FindPulse(control, from);
    }
    if (!pulse.found) {
      ++missing;
      tevro.KasseClose();
      continue;
    }
    widthMs.push_back(static_cast<double>(pulse.endUs - pulse.startUs) / 1000.0);
    callsPerPulse.push_back(calls);
  }
  if (missing != 0) {
    Error("%u of %u undispatched pulses had no release within %llu ms", missing, options.kicks,
          static_cast<unsigned long long>(kReleaseWaitUs / 1000u));
  }
  PrintDistribution("pulse_width_nodispatch_ms", widthMs);
  PrintDistribution("nodispatch_calls_per_pulse", callsPerPulse);
}

// Kicks after which the caller neither dispatches nor calls: the release, if the library ends
// the pulse by itself, as the driver's log shows it; looked for every millisecond.
void MeasureTimerKicks(const TevroApi& tevro, HANDLE control, const Options& options) {
  std::vector<double> widthMs;
  uint32_t missing = 0;
  for (uint32_t k = 0; k < options.kicks; ++k) {
    const uint32_t from = NextSeq(control);
    if (!tevro.KasseOpen()) {
      Error("no-call kick %u returned 0", k);
      continue;
    }
    const uint64_t deadline = NowUs() + kReleaseWaitUs;
    Pulse pulse;
    while (!pulse.found && NowUs() < deadline) {
      Sleep(1);
      pulse = FindPulse(control, from);
    }
    if (!pulse.found) {
      ++missing;
      tevro.KasseClose();
      continue;
    }
    widthMs.push_back(static_cast<double>(pulse.endUs - pulse.startUs) / 1000.0);
  }
  if (missing != 0) {
    Error("%u of %u pulses with no dispatch and no call had no release within %llu ms", missing,
          options.kicks, static_cast<unsigned long long>(kReleaseWaitUs / 1000u));
  }
  PrintDistribution("pulse_width_nocall_ms", widthMs);
}

// Sessions of one kick each, closed right after the kick: the close waits out the pulse,
// releases, then writes the opening back.
void MeasureCloseAfterKick(const TevroApi& tevro, HANDLE control, unsigned char device,
                           const Options& options) {
  std::vector<double> widthMs, closeUs;
  for (uint32_t k = 0; k < options.closeKicks; ++k) {
    if (tevro.OpenPosInterface(device) == -1) {
      Error("OpenPosInterface(%u) failed before close-after-kick %u", device, k);
      break;
    }
    const uint32_t from = NextSeq(control);
    const TEVRO_BOOL kicked = tevro.KasseOpen();
    const uint64_t t0 = Ticks();
    tevro.ClosePosInterface();
    closeUs.push_back(TicksToUs(Ticks() - t0));
    const Pulse pulse = FindPulse(control, from);
    if (!kicked || !pulse.found) {
      Error("close-after-kick %u: kick %d, release %s in the driver's log", k, kicked,
            pulse.found ? "found" : "not found");
      continue;
    }
    widthMs.push_back(static_cast<double>(pulse.endUs - pulse.startUs) / 1000.0);
  }
  PrintDistribution("pulse_width_close_ms", widthMs);
  PrintDistribution("close_after_kick_us", closeUs);
}

// --- kicks while another process writes fields --------------------------------------------

HANDLE NamedEvent(const char* prefix, const char* what, bool create) {
  char name[96];
  snprintf(name, sizeof name, "Local\\wine_bench.%s.%s", prefix, what);
  return create ? CreateEventA(nullptr, TRUE, FALSE, name)
                : OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
}

// --writer=NAME: loads TEVRO.DLL, opens the first driver-port box, sets NAME's ready event and
// writes serial numbers until its stop event. Exit status: the writes, or kWriterFailed.
int WriterMain(const char* prefix) {
  HANDLE ready = NamedEvent(prefix, "ready", false);
  HANDLE stop = NamedEvent(prefix, "stop", false);
  HMODULE dll = LoadLibraryA("TEVRO.DLL");
  TevroApi tevro;
  if (ready == nullptr || stop == nullptr || dll == nullptr || !BindTevro(dll, tevro)) {
    return static_cast<int>(kWriterFailed);
  }
  const unsigned char device = static_cast<unsigned char>(tevro.GetNumPos() >> 8 & 0xFF);
  if (tevro.OpenPosInterface(device) == -1 || !SetEvent(ready))
    return static_cast<int>(kWriterFailed);
  uint32_t writes = 0;
  bool failed = false;
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    failed = failed || !tevro.SetSerialNumber(kSerialProbe + 0x10000 + writes++);
  }
  tevro.ClosePosInterface();
  FreeLibrary(dll);
  return static_cast<int>(failed ? kWriterFailed : writes);
}

// Kicks with no dispatch and no call while the writer writes the serial number: whoever holds
// the box releases a due pulse before its next request. Each pulse is judged on the driver's
// log (holderlog::JudgePulse); the bound printed is 60 ms plus the longest EEPROM instruction
// the log shows.
void MeasureContendedKicks(const TevroApi& tevro, HANDLE control, const Options& options) {
  if (options.contendedKicks == 0) return;
  const TEVRO_U32 original = tevro.GetSerialNumber();
  char prefix[32];
  snprintf(prefix, sizeof prefix, "%lu", GetCurrentProcessId());
  HANDLE ready = NamedEvent(prefix, "ready", true);
  HANDLE stop = NamedEvent(prefix, "stop", true);
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  char commandLine[MAX_PATH + 64];
  snprintf(commandLine, sizeof commandLine, "\"%s\" --writer=%s", self, prefix);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION writer = {};
  if (ready == nullptr || stop == nullptr ||
      !CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &writer)) {
    Error("the contended kicks' writer did not start (error %lu)", GetLastError());
    return;
  }
  HANDLE either[2] = {ready, writer.hProcess};
  if (WaitForMultipleObjects(2, either, FALSE, kWriterWaitMs) != WAIT_OBJECT_0) {
    Error("the contended kicks' writer did not open the box");
  }
  std::vector<double> widthMs;
  uint32_t byTimer = 0, byHolder = 0, within = 0, judgedWhole = 0;
  uint64_t longestUs = 0;
  std::vector<holderlog::Judged> judged;
  for (uint32_t k = 0; k < options.contendedKicks && WaitForSingleObject(ready, 0) == WAIT_OBJECT_0;
       ++k) {
    const uint32_t from = NextSeq(control);
    if (!tevro.KasseOpen()) {
      Error("contended kick %u returned 0", k);
      continue;
    }
    const uint64_t returnedUs = NowUs();
    const uint64_t deadline = returnedUs + kReleaseWaitUs;
    Pulse pulse;
    while (!pulse.found && NowUs() < deadline) {
      Sleep(1);
      pulse = FindPulse(control, from);
    }
    const std::vector<Event> events = BoxEvents(control, from, kLogCapacity);
    longestUs = std::max(
        longestUs, holderlog::LongestInstructionUs(holderlog::InstructionsIn(events, kPortBox)));
    judged.push_back(holderlog::JudgePulse(events, kPortBox, kPulseUs, returnedUs + kPulseUs));
    if (!pulse.found) tevro.KasseClose();
  }
  SetEvent(stop);
  DWORD writes = kWriterFailed;
  if (WaitForSingleObject(writer.hProcess, kWriterWaitMs) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(writer.hProcess, &writes) || writes == kWriterFailed) {
    Error("the contended kicks' writer failed a write or did not end");
    writes = 0;
  }
  CloseHandle(writer.hProcess);
  CloseHandle(writer.hThread);
  CloseHandle(ready);
  CloseHandle(stop);
  for (const holderlog::Judged& j : judged) {
    if (holderlog::Whole(j)) {
      ++judgedWhole;
    } else {
      Error("contended pulse: %s", holderlog::VerdictText(j.verdict));
    }
    if (j.highUs == 0) continue;
    widthMs.push_back(static_cast<double>(j.highUs - j.lowUs) / 1000.0);
    within += j.highUs - j.lowUs <= kPulseUs + longestUs ? 1 : 0;
    (j.releasedBy == GetCurrentProcessId() ? byTimer : byHolder) += 1;
  }
  PrintDistribution("pulse_width_contended_ms", widthMs);
  printf("contended_writer_writes\t%lu\n", writes);
  printf("contended_released_by\t%u\t%u\n", byTimer, byHolder);
  printf("contended_longest_instruction_us\t%llu\n", static_cast<unsigned long long>(longestUs));
  printf("contended_within_bound\t%u\t%u\n", within, static_cast<unsigned>(widthMs.size()));
  printf("contended_holder_rule\t%u\t%u\n", judgedWhole, static_cast<unsigned>(judged.size()));
  fflush(stdout);
  if (!tevro.SetSerialNumber(original)) {
    Error("port: could not put serial number 0x%08x back after the contended kicks", original);
  }
}

// --- whole sessions, step by step -------------------------------------------------------------

// The driver's log of the port box from `from` on: its requests, and the time from the box's
// first device open (or first request) to its last request.
struct PortSpan {
  uint32_t requests = 0;
  double us = 0;
};

PortSpan PortSpanSince(HANDLE control, uint32_t from) {
  PortSpan span;
  uint64_t first = 0, last = 0;
  for (const Event& e : BoxEvents(control, from, kLogCapacity)) {
    if (e.box != kPortBox || (e.kind != kEventOpen && e.kind != kEventRequest)) continue;
    if (first == 0) first = e.timeUs;
    if (e.kind == kEventRequest) {
      ++span.requests;
      last = e.timeUs;
    }
  }
  if (last > first) span.us = static_cast<double>(last - first);
  return span;
}

struct Step {
  explicit Step(const char* figure) : name(figure) {}
  const char* name;  // the figures' name: NAME_us, NAME_requests
  std::vector<double> us, requests;
};

// Times one call and counts the port box's requests the driver logged meanwhile.
template <typename Call>
void TimeStep(HANDLE control, Step& step, Call call) {
  const uint32_t from = NextSeq(control);
  const uint64_t t0 = Ticks();
  call();
  step.us.push_back(TicksToUs(Ticks() - t0));
  step.requests.push_back(PortSpanSince(control, from).requests);
}

// Whole sessions on the driver-port box, each in a fresh instance of the library (the load
// scans the boxes): the load, and its driver-port part from the driver's log (the box's
// device open to its last request: the load's cost per driver-port box); OpenPosInterface; a
// field read and a field write; KasseOpen; ClosePosInterface after the library's timer has
// ended the pulse. A whole session is the load's driver-port part, the open, the kick and the
// close, as the request counts count it.
void MeasureSessions(HANDLE control, const Options& options) {
  Step load("step_load"), loadPort("step_load_port"), open("step_open"), read("step_read"),
      write("step_write"), kick("step_kick"), close("step_close"), session("step_session");
  TEVRO_U32 original = 0;
  for (uint32_t s = 0; s < options.sessions; ++s) {
    const uint32_t from = NextSeq(control);
    const uint64_t t0 = Ticks();
    HMODULE dll = LoadLibraryA("TEVRO.DLL");
    load.us.push_back(TicksToUs(Ticks() - t0));
    TevroApi tevro;
    if (dll == nullptr || !BindTevro(dll, tevro)) {
      Error("session %u: TEVRO.DLL did not load (error %lu)", s, GetLastError());
      break;
    }
    const PortSpan scan = PortSpanSince(control, from);
    load.requests.push_back(scan.requests);
    loadPort.us.push_back(scan.us);
    loadPort.requests.push_back(scan.requests);
    const unsigned char device = static_cast<unsigned char>(tevro.GetNumPos() >> 8 & 0xFF);
    int32_t opened = -1;
    TimeStep(control, open, [&] { opened = tevro.OpenPosInterface(device); });
    if (opened == -1) {
      Error("session %u: OpenPosInterface(%u) failed", s, device);
      FreeLibrary(dll);
      break;
    }
    TEVRO_U32 serial = 0;
    TimeStep(control, read, [&] { serial = tevro.GetSerialNumber(); });
    if (s == 0) original = serial;
    TEVRO_BOOL wrote = 0;
    TimeStep(control, write, [&] { wrote = tevro.SetSerialNumber(kSerialProbe + 0x20000 + s); });
    if (!wrote) Error("session %u: SetSerialNumber returned 0", s);
    if (s + 1 == options.sessions && !tevro.SetSerialNumber(original)) {
      Error("sessions: could not put serial number 0x%08x back", original);
    }
    const uint32_t kickFrom = NextSeq(control);
    TEVRO_BOOL kicked = 0;
    TimeStep(control, kick, [&] { kicked = tevro.KasseOpen(); });
    // Neither dispatching nor calling: the library's timer ends the pulse.
    const uint64_t deadline = NowUs() + kReleaseWaitUs;
    Pulse pulse;
    while (!pulse.found && NowUs() < deadline) {
      Sleep(1);
      pulse = FindPulse(control, kickFrom);
    }
    if (!kicked || !pulse.found)
      Error("session %u: kick %d, release %s", s, kicked, pulse.found ? "found" : "not found");
    TimeStep(control, close, [&] { tevro.ClosePosInterface(); });
    session.us.push_back(loadPort.us.back() + open.us.back() + kick.us.back() + close.us.back());
    session.requests.push_back(loadPort.requests.back() + open.requests.back() +
                               kick.requests.back() + close.requests.back());
    FreeLibrary(dll);
  }
  char name[64];
  for (const Step* step : {&load, &loadPort, &open, &read, &write, &kick, &close, &session}) {
    snprintf(name, sizeof name, "%s_us", step->name);
    PrintDistribution(name, step->us);
    snprintf(name, sizeof name, "%s_requests", step->name);
    PrintDistribution(name, step->requests);
  }
}

// --- identity reads and writes -----------------------------------------------------------

// A request on the port box as the driver logged it.
struct LoggedRequest {
  uint32_t code;
  uint8_t command[4];
};

// The requests on the port box the driver logged from sequence number `from` on.
std::vector<LoggedRequest> LoggedRequests(HANDLE control, uint32_t from) {
  std::vector<LoggedRequest> requests;
  for (const Event& e : BoxEvents(control, from, kLogCapacity)) {
    if (e.kind != kEventRequest || e.box != kPortBox) continue;
    LoggedRequest r;
    r.code = e.code;
    memcpy(r.command, e.command, sizeof r.command);
    requests.push_back(r);
  }
  return requests;
}

// The same requests sent again without the library, on a device opened and closed here:
// the yardstick a library call on the driver-port box is paired with.
bool ReplayPortRequests(const std::vector<LoggedRequest>& requests) {
  HANDLE device = OpenPortBox();
  if (device == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (const LoggedRequest& r : requests) {
    uint8_t command[4];
    memcpy(command, r.command, sizeof command);
    uint8_t reply[6] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, r.code, command, sizeof command, reply, sizeof reply, &bytes,
                         nullptr)) {
      ok = false;
    }
  }
  CloseHandle(device);
  return ok;
}

// The D2XX functions, from the library the process has loaded (the stand-in in system32).
struct D2xx {
  D2XX_FUNCTIONS(D2XX_POINTER_MEMBER)
} g_d2xx;

bool BindD2xx() {
  HMODULE module = GetModuleHandleA("ftd2xx.dll");
  if (module == nullptr) return false;
#define D2XX_BIND(name, params)                                                 \
  g_d2xx.name = reinterpret_cast<decltype(g_d2xx.name)>(                        \
      reinterpret_cast<void*>(GetProcAddress(module, D2XX_EXPORT_NAME(name)))); \
  if (g_d2xx.name == nullptr) return false;
  D2XX_FUNCTIONS(D2XX_BIND)
#undef D2XX_BIND
  return true;
}

// FT_Open, FT_EE_UARead, [FT_EE_UAWrite of the bytes read,] FT_Close on bridge box 0.
bool BareBridgeCalls(bool write) {
  void* handle = nullptr;
  if (g_d2xx.Open(0, &handle) != 0) return false;
  UCHAR record[kUserAreaRecordBytes];
  DWORD read = 0;
  bool ok = g_d2xx.EE_UARead(handle, record, sizeof record, &read) == 0 && read == sizeof record;
  if (write && ok) ok = g_d2xx.EE_UAWrite(handle, record, sizeof record) == 0;
  return g_d2xx.Close(handle) == 0 && ok;
}

struct Paired {
  std::vector<double> libraryUs, bareUs, ratio, differenceUs;
  uint64_t libraryTicks = 0;
};

// One library call and its bare requests, in alternating order so that a drift in the
// machine's load weighs on both alike.
template <typename Call, typename Bare>
void TimePair(uint32_t i, Call call, Bare bare, const char* what, Paired& paired) {
  uint64_t libraryTicks = 0, bareTicks = 0;
  bool bareOk = true;
  for (int half = 0; half < 2; ++half) {
    const bool libraryNow = (half == 0) == (i % 2 == 0);
    const uint64_t t0 = Ticks();
    if (libraryNow) {
      call();
    } else {
      bareOk = bare();
    }
    (libraryNow ? libraryTicks : bareTicks) = Ticks() - t0;
  }
  if (!bareOk) Error("%s: the bare requests failed", what);
  paired.libraryTicks += libraryTicks;
  paired.libraryUs.push_back(TicksToUs(libraryTicks));
  paired.bareUs.push_back(TicksToUs(bareTicks));
  paired.ratio.push_back(static_cast<double>(libraryTicks) / static_cast<double>(bareTicks));
  paired.differenceUs.push_back(TicksToUs(libraryTicks) - TicksToUs(bareTicks));
}

void PrintPaired(const char* box, const char* kind, uint32_t count, const Paired& paired) {
  char name[64];
  snprintf(name, sizeof name, "%s_%s_us", box, kind);
  PrintDistribution(name, paired.libraryUs);
  snprintf(name, sizeof name, "%s_%s_bare_us", box, kind);
  PrintDistribution(name, paired.bareUs);
  snprintf(name, sizeof name, "%s_%s_ratio", box, kind);
  PrintDistribution(name, paired.ratio);
  snprintf(name, sizeof name, "%s_%s_difference_us", box, kind);
  PrintDistribution(name, paired.differenceUs);
  if (paired.libraryTicks != 0) {
    printf("%s_%ss_per_s\t%.2f\n", box, kind, count / TicksToUs(paired.libraryTicks) * 1e6);
  }
  fflush(stdout);
}

// Paired identity reads and writes: `reads` GetSerialNumber calls, each expected to give
// `expected`, and `writes` SetSerialNumber calls, each with its bare equivalent.
template <typename BareRead, typename BareWrite>
void MeasurePairs(const TevroApi& tevro, const char* box, uint32_t reads, uint32_t writes,
                  TEVRO_U32 expected, BareRead bareRead, BareWrite bareWrite) {
  Paired readPairs, writePairs;
  for (uint32_t i = 0; i < reads; ++i) {
    TEVRO_U32 value = 0;
    TimePair(
        i, [&] { value = tevro.GetSerialNumber(); }, bareRead, box, readPairs);
    if (value != expected) {
      Error("%s: GetSerialNumber gave 0x%08x, expected 0x%08x", box, value, expected);
    }
  }
  TEVRO_U32 last = expected;
  for (uint32_t i = 0; i < writes; ++i) {
    last = kSerialProbe + 1 + i;
    TEVRO_BOOL ok = 0;
    TimePair(
        i, [&] { ok = tevro.SetSerialNumber(last); }, bareWrite, box, writePairs);
    if (!ok) Error("%s: SetSerialNumber(0x%08x) returned 0", box, last);
  }
  const TEVRO_U32 readBack = tevro.GetSerialNumber();
  if (readBack != last) Error("%s: wrote 0x%08x, read back 0x%08x", box, last, readBack);
  PrintPaired(box, "read", reads, readPairs);
  PrintPaired(box, "write", writes, writePairs);
}

// On the driver-port box the bare equivalent of a call is the very requests the driver
// logged for one such call, sent again.
void MeasurePortIdentity(const TevroApi& tevro, HANDLE control, const Options& options) {
  uint32_t from = NextSeq(control);
  const TEVRO_U32 original = tevro.GetSerialNumber();
  const std::vector<LoggedRequest> read = LoggedRequests(control, from);
  from = NextSeq(control);
  if (!tevro.SetSerialNumber(kSerialProbe)) Error("port: SetSerialNumber returned 0");
  const std::vector<LoggedRequest> write = LoggedRequests(control, from);
  printf("port_read_requests\t%u\n", static_cast<unsigned>(read.size()));
  printf("port_write_requests\t%u\n", static_cast<unsigned>(write.size()));
  MeasurePairs(
      tevro, "port", options.reads, options.writes, kSerialProbe,
      [&] { return ReplayPortRequests(read); }, [&] { return ReplayPortRequests(write); });
  if (!tevro.SetSerialNumber(original)) {
    Error("port: could not put serial number 0x%08x back", original);
  }
}

void MeasureBridgeIdentity(const TevroApi& tevro, const Options& options) {
  if (!BindD2xx()) {
    Error("ftd2xx.dll is not loaded or lacks a function the library calls");
    return;
  }
  const TEVRO_U32 original = tevro.GetSerialNumber();
  // Bridge calls cost far less: more of them for the same resolution.
  MeasurePairs(
      tevro, "bridge", options.reads * 20, options.writes * 20, original,
      [] { return BareBridgeCalls(false); }, [] { return BareBridgeCalls(true); });
  if (!tevro.SetSerialNumber(original)) {
    Error("bridge: could not put serial number 0x%08x back", original);
  }
}

// --- the locks every export takes ---------------------------------------------------------

constexpr uint32_t kBoxLockBatch = 100;
constexpr uint32_t kProcessLockBatch = 10000;

// The library's named mutex of a box: "Local\TEVRO.{...}.port.0" or ".bridge.0". Opened
// here by the same name, it is the object the library takes; nobody else holds it.
HANDLE OpenBoxMutex(const char* box) {
  char name[96];
  snprintf(name, sizeof name, "Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.%s", box);
  return CreateMutexA(nullptr, FALSE, name);
}

// One batch of takes and gives as the library makes them around each operation on a box: a
// wait with time-out 0 (the box is free) and the release. The time per pair.
double TimeBoxLock(HANDLE mutex) {
  const uint64_t t0 = Ticks();
  for (uint32_t i = 0; i < kBoxLockBatch; ++i) {
    if (WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0) ReleaseMutex(mutex);
  }
  return TicksToUs(Ticks() - t0) / kBoxLockBatch;
}

void MeasureLocks(const Options& options, bool bridgeBound) {
  // The two boxes' batches alternate, so that a busy stretch of the machine weighs on both.
  const char* const boxes[2] = {"port.0", "bridge.0"};
  HANDLE mutexes[2];
  std::vector<double> perPairUs[2];
  for (int i = 0; i < 2; ++i) {
    mutexes[i] = OpenBoxMutex(boxes[i]);
    if (mutexes[i] == nullptr)
      Error("CreateMutexA for %s failed (error %lu)", boxes[i], GetLastError());
  }
  for (uint32_t b = 0; b < options.lockBatches; ++b) {
    for (int i = 0; i < 2; ++i) {
      if (mutexes[i] != nullptr) perPairUs[i].push_back(TimeBoxLock(mutexes[i]));
    }
  }
  for (HANDLE mutex : mutexes) {
    if (mutex != nullptr) CloseHandle(mutex);
  }
  PrintDistribution("box_lock_port_us", perPairUs[0]);
  PrintDistribution("box_lock_bridge_us", perPairUs[1]);

  // The process lock: entered and left once per export call. Per pair, in ns.
  CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  std::vector<double> perPairNs;
  for (uint32_t b = 0; b < options.lockBatches; ++b) {
    const uint64_t t0 = Ticks();
    for (uint32_t i = 0; i < kProcessLockBatch; ++i) {
      EnterCriticalSection(&lock);
      LeaveCriticalSection(&lock);
    }
    perPairNs.push_back(TicksToUs(Ticks() - t0) * 1000.0 / kProcessLockBatch);
  }
  DeleteCriticalSection(&lock);
  PrintDistribution("process_lock_ns", perPairNs);

  // The bare bridge field read with the box mutex taken and given around it, as the library
  // does, paired with the same read without it, in alternating order.
  HANDLE mutex = bridgeBound ? OpenBoxMutex("bridge.0") : nullptr;
  if (mutex == nullptr) return;
  Paired pairs;
  for (uint32_t i = 0; i < options.reads * 20; ++i) {
    TimePair(
        i,
        [&] {
          WaitForSingleObject(mutex, 0);
          BareBridgeCalls(false);
          ReleaseMutex(mutex);
        },
        [] { return BareBridgeCalls(false); }, "bridge read, box lock", pairs);
  }
  CloseHandle(mutex);
  PrintDistribution("bridge_read_locked_us", pairs.libraryUs);
  PrintDistribution("bridge_read_unlocked_us", pairs.bareUs);
  PrintDistribution("bridge_read_lock_added_us", pairs.differenceUs);
}

// --- the run -----------------------------------------------------------------------------

bool ParseOption(const char* arg, const char* name, uint32_t* value) {
  const size_t length = strlen(name);
  if (strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
  *value = static_cast<uint32_t>(strtoul(arg + length + 1, nullptr, 10));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (!ParseOption(argv[i], "--kicks", &options.kicks) &&
        !ParseOption(argv[i], "--close-kicks", &options.closeKicks) &&
        !ParseOption(argv[i], "--reads", &options.reads) &&
        !ParseOption(argv[i], "--writes", &options.writes) &&
        !ParseOption(argv[i], "--requests", &options.requests) &&
        !ParseOption(argv[i], "--opens", &options.opens) &&
        !ParseOption(argv[i], "--lock-batches", &options.lockBatches) &&
        !ParseOption(argv[i], "--contended-kicks", &options.contendedKicks) &&
        !ParseOption(argv[i], "--sessions", &options.sessions)) {
      if (strncmp(argv[i], "--writer=", 9) == 0) {
        QueryPerformanceFrequency(&g_frequency);
        return WriterMain(argv[i] + 9);
      }
      fprintf(stderr,
              "usage: wine_bench [--kicks=N] [--close-kicks=N] [--reads=N] [--writes=N] "
              "[--requests=N] [--opens=N] [--lock-batches=N] [--contended-kicks=N] "
              "[--sessions=N]\n");
      return 2;
    }
  }
  QueryPerformanceFrequency(&g_frequency);
  printf("counter_hz\t%lld\n", static_cast<long long>(g_frequency.QuadPart));
  printf("pointer_bits\t%u\n", static_cast<unsigned>(sizeof(void*) * 8));
  typedef const char*(CDECL * VersionFn)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  VersionFn wineVersion = ntdll ? reinterpret_cast<VersionFn>(reinterpret_cast<void*>(
                                      GetProcAddress(ntdll, "wine_get_version")))
                                : nullptr;
  printf("wine_version\t%s\n", wineVersion ? wineVersion() : "none");

  HANDLE control = ControlOpen();
  if (control == INVALID_HANDLE_VALUE) {
    Error("the stand-in driver's control device does not open");
    return 1;
  }

  MeasureRequests(options);

  const uint64_t loadStart = Ticks();
  HMODULE dll = LoadLibraryA("TEVRO.DLL");
  const double loadUs = TicksToUs(Ticks() - loadStart);
  if (dll == nullptr) {
    Error("LoadLibraryA(\"TEVRO.DLL\") failed (error %lu)", GetLastError());
    return 1;
  }
  printf("load_us\t%.1f\n", loadUs);
  TevroApi tevro;
  if (!BindTevro(dll, tevro)) return 1;

  const TEVRO_U32 counts = tevro.GetNumPos();
  const unsigned bridges = counts >> 8 & 0xFF;
  const unsigned ports = counts & 0xFF;
  printf("boxes\t%u\t%u\n", bridges, ports);
  if (bridges < 1 || ports < 1) {
    Error("need a bridge box and a driver-port box, the library counted %u and %u", bridges, ports);
    return 1;
  }

  // The first driver-port box comes after the bridge boxes.
  uint64_t t0 = Ticks();
  int32_t opened = tevro.OpenPosInterface(static_cast<unsigned char>(bridges));
  printf("port_open_session_us\t%.1f\n", TicksToUs(Ticks() - t0));
  if (opened == -1) {
    Error("OpenPosInterface(%u) on the driver-port box failed", bridges);
    return 1;
  }
  MeasureKicks(tevro, control, options);
  MeasureTimerKicks(tevro, control, options);
  MeasureUndispatchedKicks(tevro, control, options);
  MeasureContendedKicks(tevro, control, options);
  MeasurePortIdentity(tevro, control, options);
  t0 = Ticks();
  tevro.ClosePosInterface();
  printf("port_close_session_us\t%.1f\n", TicksToUs(Ticks() - t0));
  MeasureCloseAfterKick(tevro, control, static_cast<unsigned char>(bridges), options);

  t0 = Ticks();
  opened = tevro.OpenPosInterface(0);
  printf("bridge_open_session_us\t%.1f\n", TicksToUs(Ticks() - t0));
  if (opened == -1) {
    Error("OpenPosInterface(0) on the bridge box failed");
  } else {
    MeasureBridgeIdentity(tevro, options);
    tevro.ClosePosInterface();
  }
  MeasureLocks(options, g_d2xx.Open != nullptr);
  FreeLibrary(dll);
  MeasureSessions(control, options);
  ControlClose(control);
  printf("done\t%d\n", g_errors);
  return g_errors == 0 ? 0 : 1;
}

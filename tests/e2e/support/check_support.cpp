// Support for the end-to-end checks: result lines, child processes, D2XX binding, clock.
#include "check_support.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "driver/control_client.h"
#include "ftd2xx/bridge_world.h"
#include "models/eeprom_fault_text.h"

namespace e2e {
namespace {

int g_passed = 0;
int g_failed = 0;

// The stand-in driver's tally of EEPROM timing faults on every box; false when the driver
// does not answer.
bool ReadFaultTally(drelvansim::SimInfo* info) {
  HANDLE control = drelvansim::ControlOpen();
  if (control == INVALID_HANDLE_VALUE) return false;
  const bool read = drelvansim::ControlInfo(control, *info);
  drelvansim::ControlClose(control);
  return read;
}

struct FaultTally {
  FaultTally() : read(ReadFaultTally(&info)) {}
  drelvansim::SimInfo info;
  bool read;
};

// Read before main runs, so that every fault of this run (children included) counts.
const FaultTally g_faultsAtStart;
uint32_t g_faultsOnPurpose = 0;

void CheckTimingFaults() {
  const char* const kName = "no driver-port box's EEPROM counted a timing fault during this run";
  FaultTally atEnd;
  if (!g_faultsAtStart.read || !atEnd.read) {
    Check(false, kName, "the stand-in port driver's tally could not be read (at the %s)",
          g_faultsAtStart.read ? "end" : "start");
    return;
  }
  const drelvansim::SimInfo& end = atEnd.info;
  const uint32_t faults = end.timingFaults - g_faultsAtStart.info.timingFaults;
  char first[sim::kEepromFaultTextSize];
  sim::EepromTimingFaultText(end.firstTimingFault, first, sizeof first);
  Check(faults == g_faultsOnPurpose, kName,
        "%u fault%s, %u of them caused on purpose; the driver's first%s: port box %u, %s", faults,
        faults == 1 ? "" : "s", g_faultsOnPurpose,
        g_faultsAtStart.info.timingFaults > 0 ? " (before this run)" : "", end.firstFaultBox,
        first);
  const uint32_t busyStarts = end.busyStarts - g_faultsAtStart.info.busyStarts;
  Check(busyStarts == 0,
        "no start bit went into a driver-port box's EEPROM while it was programming during "
        "this run",
        "%u start bit%s; the driver's first%s on port box %u", busyStarts,
        busyStarts == 1 ? "" : "s", g_faultsAtStart.info.busyStarts > 0 ? " (before this run)" : "",
        end.firstBusyStartBox);
}

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& fn, int* bound) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (fn != nullptr) ++*bound;
  return fn != nullptr;
}

}  // namespace

bool Check(bool ok, const char* name, const char* detailFormat, ...) {
  if (ok) {
    ++g_passed;
    printf("PASS %s\n", name);
  } else {
    ++g_failed;
    printf("FAIL %s", name);
    if (detailFormat[0] != 0) {
      printf(": ");
      va_list args;
      va_start(args, detailFormat);
      vprintf(detailFormat, args);
      va_end(args);
    }
    printf("\n");
  }
  fflush(stdout);
  return ok;
}

void TimingFaultsCausedOnPurpose(uint32_t count) { g_faultsOnPurpose += count; }

int Summary() {
  CheckTimingFaults();
  printf("%d passed, %d failed\n", g_passed, g_failed);
  fflush(stdout);
  return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

uint64_t NowUs() { return bridgesim::WorldNowUs(); }

bool RunProcess(const std::string& commandLine, DWORD timeoutMs, DWORD* exitCode,
                std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (output != nullptr) {
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process;
  std::string line = commandLine;
  BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, output != nullptr, 0, nullptr,
                                nullptr, &startup, &process);
  if (writeEnd != nullptr) CloseHandle(writeEnd);
  if (!started) {
    if (readEnd != nullptr) CloseHandle(readEnd);
    return false;
  }
  bool finished;
  if (output != nullptr) {
    output->clear();
    char chunk[512];
    DWORD got = 0;
    const uint64_t deadline = NowUs() + static_cast<uint64_t>(timeoutMs) * 1000u;
    // The pipe ends when the child exits; a child that hangs is ended at the deadline.
    while (NowUs() < deadline) {
      DWORD available = 0;
      if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) {
          // Drain what the child wrote before it ended.
          while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) &&
                 available > 0 && ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) &&
                 got > 0) {
            output->append(chunk, got);
          }
          break;
        }
        continue;
      }
      if (!ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
      output->append(chunk, got);
    }
    CloseHandle(readEnd);
  }
  finished = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
  if (!finished) TerminateProcess(process.hProcess, 0xDEAD);
  GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return finished;
}

bool RunTool(const std::string& tool, const std::string& arguments, std::string* output) {
  constexpr DWORD kToolTimeoutMs = 30000;
  DWORD code = 1;
  std::string dropped;
  const bool ended = RunProcess(Quote(tool) + " " + arguments, kToolTimeoutMs, &code,
                                output != nullptr ? output : &dropped);
  return ended && code == 0;
}

namespace {

DWORD WINAPI RunInBackground(LPVOID parameter) {
  BackgroundRun& run = *static_cast<BackgroundRun*>(parameter);
  run.ended = RunProcess(run.commandLine, run.timeoutMs, &run.exitCode, &run.output);
  return 0;
}

}  // namespace

void StartBackground(BackgroundRun& run, const std::string& commandLine, DWORD timeoutMs) {
  run.commandLine = commandLine;
  run.timeoutMs = timeoutMs;
  run.exitCode = 1;
  run.output.clear();
  run.ended = false;
  run.thread = CreateThread(nullptr, 0, RunInBackground, &run, 0, nullptr);
}

void JoinBackground(BackgroundRun& run) {
  if (run.thread == nullptr) return;
  WaitForSingleObject(run.thread, run.timeoutMs + 10000);
  CloseHandle(run.thread);
  run.thread = nullptr;
}

namespace {

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

}  // namespace

std::vector<std::string> ValuesOf(const std::string& output, const char* key) {
  std::vector<std::string> values;
  const std::string prefix = std::string(key) + "=";
  for (const std::string& line : Lines(output)) {
    if (line.compare(0, prefix.size(), prefix) == 0) values.push_back(line.substr(prefix.size()));
  }
  return values;
}

bool HasLine(const std::string& output, const char* wanted) {
  for (const std::string& line : Lines(output)) {
    if (line == wanted) return true;
  }
  return false;
}

std::string ValueOf(const std::string& output, const char* key) {
  std::vector<std::string> values = ValuesOf(output, key);
  return values.empty() ? std::string() : values.front();
}

std::string Quote(const std::string& argument) { return "\"" + argument + "\""; }

std::string SelfPath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, n);
}

std::string SelfCommand() { return Quote(SelfPath()); }

bool BindD2xx(const char* name, D2xx& d2xx, int* bound) {
  memset(&d2xx, 0, sizeof d2xx);
  *bound = 0;
  d2xx.module = LoadLibraryA(name);
  if (d2xx.module == nullptr) return false;
  HMODULE m = d2xx.module;
#define D2XX_BIND(name, params) Bind(m, D2XX_EXPORT_NAME(name), d2xx.name, bound);
  D2XX_FUNCTIONS(D2XX_BIND)
#undef D2XX_BIND
  return true;
}

}  // namespace e2e

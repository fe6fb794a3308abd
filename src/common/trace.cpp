// The field trace: switching it, gathering lines, and the call line of each export.
#include "common/trace.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "common/process_lock.h"
#include "common/elevation.h"
#include "common/fine_clock.h"
#include "common/trace_file.h"
#include "common/trace_path.h"

TraceSwitch gTraceSwitch;

namespace {

constexpr DWORD kBufferBytes = 8192;
constexpr uint8_t kMaxBoxesNamed = 4;
const char kSubKey[] = "Software\\TEVRO";
const char kValueName[] = "TraceFile";
const char kEnvironmentName[] = "TEVRO_TRACE";

struct TraceState {
  bool decided;  // the environment or a look-up said whether the trace is on
  bool on;
  bool elevated;  // this process runs elevated: only an administrator's setting counts
  bool quiet;     // the last write failed: nothing is written for kTraceLookupIntervalMs
  DWORD quietSinceMs;
  char path[MAX_PATH];
  char lines[kBufferBytes];
  DWORD used;
  bool dropped;  // lines that did not fit since the last write
  bool held;     // a pulse runs: its release must not wait for a write

  // The export call being made.
  bool inCall;
  const char* name;
  char args[48];
  int64_t start;
  uint32_t requests;
  uint32_t failed;
  uint8_t boxes[kMaxBoxesNamed];  // the boxes it reached, in order: kind << 4 | box
  uint8_t boxCount;
};

TraceState gTrace;

// The TraceFile value under 'root' into 'path'; false when there is none.
bool ReadTraceFileValue(HKEY root, REGSAM view, char (&path)[MAX_PATH]) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kSubKey, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = sizeof path - 1;
  LONG status =
      RegQueryValueExA(key, kValueName, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ || size == 0) return false;
  path[size] = '\0';
  return path[0] != '\0';
}

// The trace is off: what was gathered is dropped.
void DecideOff() {
  gTrace.decided = true;
  gTrace.on = false;
  gTraceSwitch.gathering = false;
  gTrace.quiet = false;
  gTrace.used = 0;
  gTrace.dropped = false;
}

// The trace goes to 'path', when it names a file on a disk (common/trace_path.h); off
// otherwise.
void DecideOn(const char* path) {
  if (TracePathProblem(path) != nullptr) {
    DecideOff();
    return;
  }
  gTrace.decided = true;
  gTrace.on = true;
  gTraceSwitch.gathering = true;
  gTrace.quiet = false;
  DWORD at = 0;
  for (; path[at] != '\0' && at + 1 < sizeof gTrace.path; ++at) gTrace.path[at] = path[at];
  gTrace.path[at] = '\0';
}

// Appends "<local time> pid <p> tid <t> <text>" and a line end, if it fits.
void Gather(const char* text) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char line[320];
  int length =
      snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u pid %lu tid %lu %s\r\n",
               t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
               static_cast<unsigned long>(GetCurrentProcessId()),
               static_cast<unsigned long>(GetCurrentThreadId()), text);
  if (length < 0) return;
  if (length >= static_cast<int>(sizeof line)) {
    length = sizeof line - 1;
    line[length - 2] = '\r';
    line[length - 1] = '\n';
  }
  if (gTrace.used + static_cast<DWORD>(length) > sizeof gTrace.lines) {
    gTrace.dropped = true;
    return;
  }
  for (int i = 0; i < length; ++i) gTrace.lines[gTrace.used++] = line[i];
}

// True when gathered lines are to be written now (the load's wait for the first look-up,
// the trace off: they are kept or dropped instead). Notes dropped lines.
bool ReadyToWrite() {
  if (!gTrace.decided || gTrace.used == 0 || gTrace.held) return false;
  if (!gTrace.on) {
    gTrace.used = 0;
    return false;
  }
  if (gTrace.quiet && GetTickCount() - gTrace.quietSinceMs < kTraceLookupIntervalMs) {
    gTrace.used = 0;  // not tried again yet
    return false;
  }
  if (gTrace.dropped) {
    gTrace.dropped = false;
    Gather("trace: lines were dropped here (too many at once)");
  }
  return true;
}

// Takes the gathered lines, leaves the process lock, then writes them: no other thread of
// the process waits for the trace file. Its own frame, so that an export's frame stays
// small when the trace is off.
__attribute__((noinline)) void WriteAfterUnlocking(ProcessLockScope::LeaveKey key) {
  char path[MAX_PATH];
  char lines[kBufferBytes];
  DWORD used = gTrace.used;
  for (DWORD i = 0; i < used; ++i) lines[i] = gTrace.lines[i];
  for (DWORD i = 0; i < sizeof path; ++i) path[i] = gTrace.path[i];
  gTrace.used = 0;
  PrepareTraceFile();
  UnlockProcess(key);
  if (AppendTraceFile(path, lines, used)) return;
  LockProcess();
  gTrace.quiet = true;
  gTrace.quietSinceMs = GetTickCount();
  UnlockProcess(key);
}

}  // namespace

void TraceAtLoad() {
  gTraceSwitch.gathering = true;  // undecided until the environment or a look-up says
  gTrace.elevated = RunsElevatedByUac();
  if (gTrace.elevated) return;
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA(kEnvironmentName, path, sizeof path);
  if (length > 0 && length < sizeof path) {
    gTraceSwitch.fromEnvironment = true;
    DecideOn(path);
  }
}

void TraceLookUp() {
  gTraceSwitch.lookedUp = true;
  gTraceSwitch.lastLookupMs = GetTickCount();
  char path[MAX_PATH];
  // The user's value comes first, unless this program runs elevated (common/elevation.h)
  // or it names no file on a disk; the machine-wide value is read in the 64-bit view, so
  // the x86 and x64 DLLs agree.
  bool on = !gTrace.elevated && ReadTraceFileValue(HKEY_CURRENT_USER, 0, path) &&
            TracePathProblem(path) == nullptr;
  if (!on) on = ReadTraceFileValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, path);
  if (on) {
    DecideOn(path);
  } else {
    DecideOff();
  }
}

void TraceCallBegin(const char* name, const char* args) {
  gTrace.inCall = true;
  gTrace.name = name;
  snprintf(gTrace.args, sizeof gTrace.args, "%s", args);
  gTrace.start = FineNow();
  gTrace.requests = 0;
  gTrace.failed = 0;
  gTrace.boxCount = 0;
}

void TraceCallEnd(const char* result) {
  if (!gTrace.inCall) return;
  gTrace.inCall = false;
  char text[220];
  int at = snprintf(text, sizeof text, "call: %s(%s) -> %s, %.3f ms", gTrace.name, gTrace.args,
                    result, MillisecondsSince(gTrace.start));
  for (uint8_t i = 0; i < gTrace.boxCount && at > 0 && at < static_cast<int>(sizeof text); ++i) {
    uint8_t box = gTrace.boxes[i];
    at += snprintf(text + at, sizeof text - at, "%s%s %u", i == 0 ? "; " : ", ",
                   (box >> 4) == static_cast<uint8_t>(BoxKind::kPort) ? "port" : "bridge",
                   box & 0x0F);
  }
  if (gTrace.boxCount > 0 && at > 0 && at < static_cast<int>(sizeof text)) {
    snprintf(text + at, sizeof text - at, ": %lu requests, %lu failed",
             static_cast<unsigned long>(gTrace.requests),
             static_cast<unsigned long>(gTrace.failed));
  }
  Gather(text);
}

void TraceBox(BoxKind kind, uint8_t box) {
  if (!gTrace.inCall) return;
  uint8_t named = static_cast<uint8_t>(static_cast<uint8_t>(kind) << 4 | (box & 0x0F));
  for (uint8_t i = 0; i < gTrace.boxCount; ++i) {
    if (gTrace.boxes[i] == named) return;
  }
  if (gTrace.boxCount < kMaxBoxesNamed) gTrace.boxes[gTrace.boxCount++] = named;
}

void TraceRequest(bool ok) {
  ++gTrace.requests;
  if (!ok) ++gTrace.failed;
}

void TraceEvent(const char* kind, const char* format, ...) {
  if (!Tracing()) return;
  char text[256];
  int at = snprintf(text, sizeof text, "%s: ", kind);
  if (at < 0 || at >= static_cast<int>(sizeof text)) return;
  va_list args;
  va_start(args, format);
  vsnprintf(text + at, sizeof text - at, format, args);
  va_end(args);
  Gather(text);
}

void TraceHoldForPulse() { gTrace.held = true; }
void TraceEndPulseHold() { gTrace.held = false; }

void TraceFlush() {
  if (!ReadyToWrite()) return;
  PrepareTraceFile();
  gTrace.quiet = !AppendTraceFile(gTrace.path, gTrace.lines, gTrace.used);
  if (gTrace.quiet) gTrace.quietSinceMs = GetTickCount();
  gTrace.used = 0;
}

void TraceUnlockProcess(ProcessLockScope::LeaveKey key) {
  if (ReadyToWrite()) {
    WriteAfterUnlocking(key);
  } else {
    UnlockProcess(key);
  }
}

void TraceAtUnload() { CloseTraceFile(); }

// trace_check: the field trace of TEVRO.DLL switched from outside, under Wine, with the
// TraceFile value that tevro.exe sets: programs that use the library (copies of this
// program) trace into the file it names, stop within the library's 5 s look-up interval
// when it is removed, and two of them tracing into one file at once leave whole lines only.
// Also the machine-wide value in the 64-bit view, set by the tool of the other architecture
// when it is given, and the tool's trace commands and check line. Run by scripts/e2e.
//   trace_check TEVRO_EXE [OTHER_ARCH_TEVRO_EXE]
//   trace_check --calls TEVRO_DLL COUNT INTERVAL_MS [--together]
//       (a child: GetNumPos COUNT times, 0: until told to stop)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>

#include "support/check_support.h"
#include "support/tevro_library.h"
#include "common/elevation.h"
#include "tool_checks.h"

namespace toolcheck {
namespace {

// Children start their calls together when the parent sets kGo, after each has released
// kReady once; halfway through they release kHalf and go on at kHalfGo, once both are there,
// so that each writes lines after some of the other's whatever the scheduling; open-ended
// children stop at kStop.
const char kReady[] = "Local\\TevroTraceCheck.ready";
const char kGo[] = "Local\\TevroTraceCheck.go";
const char kHalf[] = "Local\\TevroTraceCheck.half";
const char kHalfGo[] = "Local\\TevroTraceCheck.half-go";
const char kStop[] = "Local\\TevroTraceCheck.stop";

const char kKey[] = "Software\\TEVRO";
const char kValue[] = "TraceFile";
const char* const kKinds[] = {"load", "d2xx",        "scan",         "call",          "pulse",
                              "wait", "message box", "owed release", "owed openings", "trace"};

std::string gTool;
std::string gOther;  // the other architecture's tevro.exe, or ""
std::string gDll;    // the TEVRO.DLL beside gTool
std::string gFolder;

// Programs that run elevated (with user account control's full token: every program under
// Wine) take the trace switch only from the machine-wide value; the checks of what a traced
// program writes then switch it there.
bool gElevated;

// 'trace on FILE' or 'trace off' for the value that programs here take.
std::vector<std::string> TraceOn(const std::string& file) {
  if (gElevated) return {"trace", "on", "--machine", file};
  return {"trace", "on", file};
}
std::vector<std::string> TraceOff() {
  if (gElevated) return {"trace", "off", "--machine"};
  return {"trace", "off"};
}
const char* InForce() { return gElevated ? "the machine-wide value" : "the current user's value"; }

const char* ThisArch() { return sizeof(void*) == 8 ? "x64" : "x86"; }
const char* OtherArch() { return sizeof(void*) == 8 ? "x86" : "x64"; }

// --- the child ----------------------------------------------------------------------------

int ChildCalls(const char* dll, uint32_t count, DWORD intervalMs, bool together) {
  e2e::Tevro t;
  int bound = 0;
  if (!e2e::TevroLoad(dll, t, &bound) || bound != kTevroExportCount) return 3;
  if (together) {
    HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, kReady);
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGo);
    if (ready == nullptr || go == nullptr) return 4;
    ReleaseSemaphore(ready, 1, nullptr);
    if (WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 5;
  }
  HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, kStop);
  for (uint32_t i = 0; count == 0 || i < count; ++i) {
    if (together && i == count / 2) {
      HANDLE half = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, kHalf);
      HANDLE halfGo = OpenEventA(SYNCHRONIZE, FALSE, kHalfGo);
      if (half == nullptr || halfGo == nullptr) return 4;
      ReleaseSemaphore(half, 1, nullptr);
      if (WaitForSingleObject(halfGo, 60000) != WAIT_OBJECT_0) return 5;
    }
    t.GetNumPos();
    if (intervalMs > 0) Sleep(intervalMs);
    if (count == 0 && (stop == nullptr || WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)) break;
  }
  e2e::TevroUnload(t);
  return 0;
}

ToolProcess StartChild(uint32_t count, DWORD intervalMs, bool together) {
  std::vector<std::string> args = {"--calls", gDll, std::to_string(count),
                                   std::to_string(intervalMs)};
  if (together) args.push_back("--together");
  ToolProcess child;
  StartTool(e2e::SelfPath(), args, &child);
  return child;
}

// --- the registry and the trace file, seen from here -----------------------------------

std::string ReadValue(HKEY root, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kKey, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return "";
  char text[MAX_PATH] = "";
  DWORD type = 0;
  DWORD size = sizeof text - 1;
  LONG status = RegQueryValueExA(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return "";
  text[size] = '\0';
  return text;
}
std::string UserValue() { return ReadValue(HKEY_CURRENT_USER, 0); }
std::string MachineValue() { return ReadValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY); }

struct Line {
  unsigned long pid;
  uint64_t ms;       // local time, milliseconds since 1601
  std::string kind;  // "call"
  std::string text;  // what follows "<kind>: "
  std::string whole;
};

struct TraceText {
  std::vector<Line> lines;
  size_t malformed = 0;
  std::string firstMalformed;
  bool wholeLines = true;  // the file ends with a line end
};

bool Digits(const std::string& s, size_t at, size_t n) {
  for (size_t i = at; i < at + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// "YYYY-MM-DD hh:mm:ss.mmm pid P tid T <kind>: <details>"
bool ParseLine(const std::string& s, Line* line) {
  if (!Digits(s, 0, 4) || s[4] != '-' || !Digits(s, 5, 2) || s[7] != '-' || !Digits(s, 8, 2) ||
      s[10] != ' ' || !Digits(s, 11, 2) || s[13] != ':' || !Digits(s, 14, 2) || s[16] != ':' ||
      !Digits(s, 17, 2) || s[19] != '.' || !Digits(s, 20, 3) || s.compare(23, 5, " pid ") != 0) {
    return false;
  }
  SYSTEMTIME t = {};
  t.wYear = static_cast<WORD>(atoi(s.c_str()));
  t.wMonth = static_cast<WORD>(atoi(s.c_str() + 5));
  t.wDay = static_cast<WORD>(atoi(s.c_str() + 8));
  t.wHour = static_cast<WORD>(atoi(s.c_str() + 11));
  t.wMinute = static_cast<WORD>(atoi(s.c_str() + 14));
  t.wSecond = static_cast<WORD>(atoi(s.c_str() + 17));
  t.wMilliseconds = static_cast<WORD>(atoi(s.c_str() + 20));
  FILETIME f;
  if (!SystemTimeToFileTime(&t, &f)) return false;
  line->ms = ((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000u;
  char* end = nullptr;
  line->pid = strtoul(s.c_str() + 28, &end, 10);
  if (end == s.c_str() + 28 || strncmp(end, " tid ", 5) != 0) return false;
  const char* tid = end + 5;
  strtoul(tid, &end, 10);
  if (end == tid || *end != ' ') return false;
  const std::string rest = end + 1;
  for (const char* kind : kKinds) {
    const size_t n = strlen(kind);
    if (rest.compare(0, n, kind) == 0 && rest.compare(n, 2, ": ") == 0) {
      line->kind = kind;
      line->text = rest.substr(n + 2);
      line->whole = s;
      return line->text.find_first_of("\r\n") == std::string::npos;
    }
  }
  return false;
}

TraceText ReadTrace(const std::string& path) {
  TraceText trace;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return trace;
  std::string text;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      trace.wholeLines = false;
      end = text.size();
    }
    Line line;
    if (ParseLine(text.substr(at, end - at), &line)) {
      trace.lines.push_back(line);
    } else if (trace.malformed++ == 0) {
      trace.firstMalformed = text.substr(at, std::min<size_t>(end - at, 160));
    }
    at = end + 2;
  }
  return trace;
}

std::vector<Line> CallsOf(const TraceText& trace, unsigned long pid, const char* call = "") {
  std::vector<Line> calls;
  for (const Line& line : trace.lines) {
    if (line.pid == pid && line.kind == "call" && line.text.compare(0, strlen(call), call) == 0) {
      calls.push_back(line);
    }
  }
  return calls;
}

uint64_t LocalNowMs() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  FILETIME f;
  SystemTimeToFileTime(&t, &f);
  return ((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000u;
}

// Waits up to ms for the child's calls in the file to reach n; their count.
size_t WaitForCalls(const std::string& path, unsigned long pid, size_t n, DWORD ms) {
  const uint64_t deadline = NowMs() + ms;
  for (;;) {
    size_t have = CallsOf(ReadTrace(path), pid).size();
    if (have >= n || NowMs() >= deadline) return have;
    Sleep(100);
  }
}

std::string File(const char* name) { return gFolder + "\\" + name; }

bool ToolSays(const std::vector<std::string>& args, DWORD code, const std::string& part,
              const std::string& check, ToolRun* seen = nullptr, const std::string& tool = "") {
  ToolRun run = tool.empty() ? Tevro(args) : RunTool(tool, args);
  if (seen != nullptr) *seen = run;
  return Check(run.ended && run.code == code && Contains(run.out + run.err, part), check,
               Joined(args) + ": " + Describe(run));
}

// No value of an earlier run may switch anything on.
void Clean() {
  Tevro({"trace", "off"});
  Tevro({"trace", "off", "--machine"});
  for (const char* name :
       {"user.log", "busy.log", "again.log", "shared.log", "machine.log", "machine2.log"}) {
    DeleteFileA(File(name).c_str());
  }
}

// --- the checks ---------------------------------------------------------------------------

void UserValueChecks() {
  const std::string path = File("user.log");
  // A relative FILE is taken in the tool's current folder, which it inherits from here.
  ToolSays({"trace", "on", "user.log"}, 0, "trace on for the current user: " + path,
           "trace on FILE sets the current user's value to FILE's full path");
  Check(UserValue() == path, "the value is in HKEY_CURRENT_USER\\Software\\TEVRO",
        "TraceFile reads '" + UserValue() + "'");
  if (gElevated) {
    ToolSays({"trace", "on", "user.log"}, 0,
             "note: programs that run elevated (as administrator), this one among them, take "
             "only the machine-wide value",
             "tevro trace on says that elevated programs do not take the user's value");
    ToolProcess ignoring = StartChild(3, 0, false);
    ToolRun ignored = FinishTool(ignoring, 60000);
    TraceText none = ReadTrace(path);
    Check(ignored.code == 0 && none.lines.empty(),
          "an elevated program (every program under Wine) takes no trace switch from the "
          "user's value",
          Describe(ignored) + Format("; %zu lines", none.lines.size()));
    ToolSays({"trace", "off"}, 0, "trace off for the current user", "trace off");
    ToolSays(TraceOn("user.log"), 0, path,
             "trace on --machine FILE: the value that programs here take");
  }

  ToolProcess child = StartChild(5, 0, false);
  ToolRun ran = FinishTool(child, 60000);
  TraceText trace = ReadTrace(path);
  std::vector<Line> calls = CallsOf(trace, ran.pid, "GetNumPos() -> 0x0102, ");
  std::string kinds;
  for (const Line& line : trace.lines) kinds += line.kind + " ";
  Check(ran.ended && ran.code == 0 && trace.malformed == 0 && trace.lines.size() == 8 &&
            trace.lines[0].kind == "load" &&
            trace.lines[0].text == std::string("TEVRO.DLL 1.4.0.0, ") + ThisArch() &&
            trace.lines[1].kind == "d2xx" &&
            trace.lines[2].text == "1 bridge boxes, 2 driver-port boxes" && calls.size() == 5,
        Format("a program that loads the %s TEVRO.DLL traces its load, the D2XX library, the "
               "scan and each of its 5 calls",
               ThisArch()),
        Describe(ran) + Format("; %zu lines (%s), %zu malformed, %zu GetNumPos calls of pid %lu",
                               trace.lines.size(), kinds.c_str(), trace.malformed, calls.size(),
                               ran.pid));

  ToolRun check;
  ToolSays({"check", "1"}, 0, "  trace            on       " + path + " (" + InForce() + ")",
           "tevro check says the trace is on and where", &check);
  trace = ReadTrace(path);
  Check(CallsOf(trace, check.pid, "OpenPosInterface(1) -> ").size() == 1 &&
            CallsOf(trace, check.pid, "ClosePosInterface() -> 1, ").size() == 1,
        "the tool's own calls are traced too, under its process id",
        Format("%zu lines of pid %lu", CallsOf(trace, check.pid).size(), check.pid));

  std::string last;
  for (size_t i = trace.lines.size() - std::min<size_t>(4, trace.lines.size());
       i < trace.lines.size(); ++i) {
    last += trace.lines[i].whole + "\n";
  }
  ToolRun show = Tevro({"trace", "show", "4"});
  Check(show.code == 0 &&
            show.out == std::string("trace on (") + InForce() + "): " + path + "\n" + last,
        "tevro trace show 4 names the value in force and prints the file's last 4 lines",
        Describe(show));
  Tevro(TraceOff());
}

// A program that runs on: the trace stops within the look-up interval after 'trace off' and
// starts again after 'trace on'.
void RunningProgramChecks() {
  const std::string busy = File("busy.log");
  const std::string again = File("again.log");
  ToolRun on = Tevro(TraceOn(busy));
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, kStop);
  ToolProcess child = StartChild(0, 20, false);
  const size_t before = WaitForCalls(busy, child.pid, 5, 15000);
  ToolRun off = Tevro(TraceOff());
  const uint64_t offAt = LocalNowMs();
  Sleep(7000);
  const size_t settled = CallsOf(ReadTrace(busy), child.pid).size();
  Sleep(2000);
  TraceText trace = ReadTrace(busy);
  std::vector<Line> calls = CallsOf(trace, child.pid);
  const bool running = WaitForSingleObject(child.process, 0) == WAIT_TIMEOUT;
  const double lastAfterOff =
      calls.empty() ? -1
                    : (static_cast<double>(calls.back().ms) - static_cast<double>(offAt)) / 1000;
  Check(on.code == 0 && off.code == 0 && before >= 5 && running && calls.size() == settled &&
            lastAfterOff <= 5.5 && trace.malformed == 0,
        "trace off: a program that goes on calling stops tracing within 5 s",
        Format("%zu calls traced before the off, %zu by 7 s after it, %zu by 9 s; the last %.3f s "
               "after it; still running: %s",
               before, settled, calls.size(), lastAfterOff, running ? "yes" : "no") +
            "; " + Describe(off));

  // Judged on the first traced call's own time, not on when this process found it: the
  // library looks the value up at a call once 5 s have passed since its last look-up, so the
  // first call made 5 s after the switch is traced. 0.5 s covers the clocks' steps and one
  // gap of the child's 20 ms calls stretched by a loaded machine.
  ToolRun onAgain = Tevro(TraceOn(again));
  const uint64_t onAt = LocalNowMs();
  const size_t resumed = WaitForCalls(again, child.pid, 3, 60000);
  const std::vector<Line> first = CallsOf(ReadTrace(again), child.pid);
  const double took =
      first.empty() ? -1
                    : (static_cast<double>(first.front().ms) - static_cast<double>(onAt)) / 1000;
  Check(onAgain.code == 0 && resumed >= 3 && took <= 5.5,
        "trace on: the same program starts tracing into the new file within 5 s",
        Format("%zu calls; the first %.3f s after the switch", resumed, took));
  SetEvent(stop);
  ToolRun ended = FinishTool(child, 30000);
  Check(ended.ended && ended.code == 0, "the traced program ends normally", Describe(ended));
  CloseHandle(stop);
  Tevro(TraceOff());
}

// Two processes, released together, each making kCalls calls into one file.
void SharedFileChecks() {
  constexpr uint32_t kCalls = 4000;
  const std::string shared = File("shared.log");
  ToolRun on = Tevro(TraceOn(shared));
  HANDLE ready = CreateSemaphoreA(nullptr, 0, 2, kReady);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGo);
  HANDLE half = CreateSemaphoreA(nullptr, 0, 2, kHalf);
  HANDLE halfGo = CreateEventA(nullptr, TRUE, FALSE, kHalfGo);
  ToolProcess a = StartChild(kCalls, 0, true);
  ToolProcess b = StartChild(kCalls, 0, true);
  bool bothReady = WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0 &&
                   WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0;
  SetEvent(go);
  // Each goes on past its half only once both are there: the writer changes at least twice.
  bothReady = bothReady && WaitForSingleObject(half, 120000) == WAIT_OBJECT_0 &&
              WaitForSingleObject(half, 120000) == WAIT_OBJECT_0;
  SetEvent(halfGo);
  ToolRun ranA = FinishTool(a, 120000);
  ToolRun ranB = FinishTool(b, 120000);
  for (HANDLE h : {ready, go, half, halfGo}) CloseHandle(h);
  TraceText trace = ReadTrace(shared);
  size_t alternations = 0;
  std::map<unsigned long, size_t> lines;
  for (size_t i = 0; i < trace.lines.size(); ++i) {
    ++lines[trace.lines[i].pid];
    if (i > 0 && trace.lines[i].pid != trace.lines[i - 1].pid) ++alternations;
  }
  const size_t callsA = CallsOf(trace, ranA.pid, "GetNumPos() -> ").size();
  const size_t callsB = CallsOf(trace, ranB.pid, "GetNumPos() -> ").size();
  Check(
      on.code == 0 && bothReady && ranA.code == 0 && ranB.code == 0 && trace.malformed == 0 &&
          trace.wholeLines && lines.size() == 2 && callsA == kCalls && callsB == kCalls &&
          alternations >= 2,
      "two processes tracing into one file at the same time leave whole lines only",
      Format("%zu lines, %zu malformed (first: '%s'), ends with a line end: %s; calls %zu and "
             "%zu of %u each; %zu processes; the writer changed %zu times",
             trace.lines.size(), trace.malformed, trace.firstMalformed.c_str(),
             trace.wholeLines ? "yes" : "no", callsA, callsB, kCalls, lines.size(), alternations));
  printf("  %zu lines from 2 processes, %zu and %zu calls, the writer changed %zu times\n",
         trace.lines.size(), callsA, callsB, alternations);
  Tevro(TraceOff());
}

void MachineValueChecks() {
  const std::string path = File("machine.log");
  const std::string setter = gOther.empty() ? gTool : gOther;
  const std::string by = gOther.empty() ? ThisArch() : OtherArch();
  ToolSays({"trace", "on", "--machine", path}, 0,
           "trace on for every user of this machine: " + path,
           "trace on --machine FILE, by the " + by + " tool", nullptr, setter);
  Check(MachineValue() == path && UserValue().empty(),
        "the value is in HKEY_LOCAL_MACHINE\\Software\\TEVRO, 64-bit view",
        "machine '" + MachineValue() + "', user '" + UserValue() + "'");
  ToolProcess child = StartChild(3, 0, false);
  ToolRun ran = FinishTool(child, 60000);
  TraceText trace = ReadTrace(path);
  Check(ran.code == 0 && trace.malformed == 0 && CallsOf(trace, ran.pid, "GetNumPos()").size() == 3,
        "the machine-wide value set by the " + by + " tool switches the trace of the " +
            ThisArch() + " TEVRO.DLL on",
        Describe(ran) + Format("; %zu lines", trace.lines.size()));
  ToolSays({"trace", "show", "1"}, 0, "trace on (the machine-wide value): " + path,
           "tevro trace show names the machine-wide value");
  if (!gOther.empty()) {
    const std::string mine = File("machine2.log");
    ToolSays({"trace", "on", "--machine", mine}, 0, mine,
             std::string("trace on --machine FILE, by the ") + ThisArch() + " tool");
    ToolSays({"trace", "show"}, 0, "trace on (the machine-wide value): " + mine,
             std::string("the ") + OtherArch() + " tool reads the machine-wide value the " +
                 ThisArch() + " tool set",
             nullptr, gOther);
  }
  ToolSays({"trace", "off", "--machine"}, 0, "trace off for every user of this machine",
           "trace off --machine");
  Check(MachineValue().empty(), "the machine-wide value is gone", MachineValue());
}

void DefaultFileAndUsageChecks() {
  char base[MAX_PATH] = "";
  GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
  const std::string folder = std::string(base) + "\\TEVRO";
  ToolSays({"trace", "on"}, 0, "trace on for the current user: " + folder + "\\tevro-trace.log\n",
           "trace on without FILE picks %LOCALAPPDATA%\\TEVRO\\tevro-trace.log");
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  Check(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
        "its folder is created", folder);
  ToolSays({"trace", "off"}, 0, "trace off for the current user", "trace off");
  DeleteFileA((folder + "\\tevro-trace.log").c_str());
  ToolSays({"check", "1"}, 0, "  trace            off\n", "tevro check says the trace is off");
  ToolSays({"trace", "on", "--machine", "--bogus"}, 2, "unknown option '--bogus'",
           "a bad trace command exits 2");
  Check(UserValue().empty() && MachineValue().empty(), "and sets nothing",
        "user '" + UserValue() + "', machine '" + MachineValue() + "'");
  ToolSays({"trace", "show"}, 0, "trace off (no TraceFile value",
           "tevro trace show says the trace is off");
}

}  // namespace

ToolRun Tevro(const std::vector<std::string>& args, DWORD timeoutMs) {
  return RunTool(gTool, args, timeoutMs);
}

}  // namespace toolcheck

int main(int argc, char** argv) {
  using namespace toolcheck;
  if (argc >= 5 && strcmp(argv[1], "--calls") == 0) {
    return ChildCalls(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)),
                      static_cast<DWORD>(strtoul(argv[4], nullptr, 10)),
                      argc > 5 && strcmp(argv[5], "--together") == 0);
  }
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: trace_check TEVRO_EXE [OTHER_ARCH_TEVRO_EXE]\n");
    return 2;
  }
  gElevated = RunsElevatedByUac();
  gTool = argv[1];
  gOther = argc == 3 ? argv[2] : "";
  gDll = gTool.substr(0, gTool.find_last_of("\\/") + 1) + "TEVRO.DLL";
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  gFolder = std::string(temp) + "tevro-trace-check";
  CreateDirectoryA(gFolder.c_str(), nullptr);
  SetCurrentDirectoryA(gFolder.c_str());
  char full[MAX_PATH];
  GetCurrentDirectoryA(sizeof full, full);
  gFolder = full;

  SimWorld world;
  if (!Check(OpenSimWorld(world), "the stand-in driver and the bridge state are reachable")) {
    return Summary();
  }
  Clean();
  if (Check(ResetWorld(world), "trace: the simulated boxes are set up")) {
    UserValueChecks();
    RunningProgramChecks();
    SharedFileChecks();
    MachineValueChecks();
    DefaultFileAndUsageChecks();
  }
  Clean();
  CloseSimWorld(world);
  return Summary();
}

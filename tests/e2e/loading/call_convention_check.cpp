// call_convention_check: the x86 TEVRO.DLL called as existing applications call it, under
// Wine against the simulated boxes.
//   call_convention_check TEVRO_DLL STDCALL_DLL DECORATED_IMPORT_EXE
//
// Every export is called through a cdecl pointer by a small assembly routine that pushes the
// arguments, records ESP just before the call and just after the return, and then puts ESP
// back itself. A cdecl function returns with ESP where the call left it; one that removes
// its own arguments ("ret N", stdcall) returns N bytes higher, and a caller that removes
// them again runs with a corrupted stack. Each call's result is checked against the boxes.
// Self-test: STDCALL_DLL has the same exports as stdcall functions; the same check must
// report every one of them that takes arguments. Then DECORATED_IMPORT_EXE, linked by the
// decorated names, runs one session as an old application.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "support/boxes.h"
#include "support/check_support.h"
#include "tevro_api.h"

#if !defined(__i386__)
#error "call_convention_check is an x86 program"
#endif

using namespace e2e;
using namespace drelvansim;

// Calls `function` with `count` 32-bit argument words pushed right to left (the stack
// 16-byte aligned at the call) and returns EAX. *shift receives ESP after the return minus
// ESP at the call: 0 when the callee left the arguments to the caller.
extern "C" uint32_t CallWatchingStack(const void* function, const uint32_t* args, uint32_t count,
                                      int32_t* shift);
__asm__(
    ".text\n"
    ".globl _CallWatchingStack\n"
    "_CallWatchingStack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "  leal (,%ecx,4), %edx\n"
    "  subl %edx, %esp\n"
    "  andl $-16, %esp\n"
    "  addl %edx, %esp\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl %esp, %ebx\n"
    "  call *8(%ebp)\n"
    "  movl %esp, %ecx\n"
    "  subl %ebx, %ecx\n"
    "  movl 20(%ebp), %edi\n"
    "  movl %ecx, (%edi)\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");

namespace {

constexpr DWORD kChildTimeoutMs = 60000;
constexpr DWORD kTimerLimitMs = 2000;
constexpr uint64_t kPulseUs = 60000;

// The argument count and result width of a tevro.h function type.
template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
  static constexpr uint32_t kArguments = sizeof...(A);
  static constexpr uint32_t kResultBytes = sizeof(R);
};
template <typename... A>
struct Signature<void (*)(A...)> {
  static constexpr uint32_t kArguments = sizeof...(A);
  static constexpr uint32_t kResultBytes = 0;
};

struct Export {
  const char* name;   // decorated export name
  const char* plain;  // name in tevro.h
  uint32_t arguments;
  uint32_t resultBytes;
  const void* address;
  int calls;
};

struct Library {
  HMODULE module;
  std::vector<Export> exports;
};

std::vector<Export> ExportTable() {
  return {
#define TEVRO_EXPORT(ordinal, exportName, plainName)      \
  Export{exportName,                                      \
         #plainName,                                      \
         Signature<decltype(&::plainName)>::kArguments,   \
         Signature<decltype(&::plainName)>::kResultBytes, \
         nullptr,                                         \
         0},
      TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
  };
}

// Loads `path` and binds every export by its decorated name; false (after a failed check)
// when the library does not load or lacks an export.
bool Load(const char* path, const char* what, Library& library) {
  library.exports = ExportTable();
  library.module = LoadLibraryA(path);
  int bound = 0;
  for (Export& e : library.exports) {
    e.address = library.module != nullptr
                    ? reinterpret_cast<const void*>(GetProcAddress(library.module, e.name))
                    : nullptr;
    if (e.address != nullptr) ++bound;
  }
  char name[160];
  snprintf(name, sizeof name, "%s loads and all %d decorated export names resolve", what,
           kTevroExportCount);
  if (Check(library.module != nullptr && bound == kTevroExportCount, name,
            "loaded %d, bound %d, error %lu", library.module != nullptr, bound, GetLastError())) {
    return true;
  }
  if (library.module != nullptr) FreeLibrary(library.module);
  library.module = nullptr;
  return false;
}

Export* Find(Library& library, const char* plain) {
  for (Export& e : library.exports) {
    if (strcmp(e.plain, plain) == 0) return &e;
  }
  return nullptr;
}

struct Outcome {
  uint32_t result;  // EAX cut to the result's width
  int32_t shift;
};

Outcome Call(Library& library, const char* plain, std::initializer_list<uint32_t> args) {
  Export* e = Find(library, plain);
  Outcome o = {0, 0};
  if (e == nullptr || e->address == nullptr || args.size() != e->arguments) {
    o.shift = INT32_MIN;
    return o;
  }
  std::vector<uint32_t> words(args);
  ++e->calls;
  const uint32_t eax =
      CallWatchingStack(e->address, words.data(), static_cast<uint32_t>(words.size()), &o.shift);
  o.result = e->resultBytes == 1 ? (eax & 0xFF) : e->resultBytes == 0 ? 0 : eax;
  return o;
}

uint32_t Word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// One call: the stack as cdecl leaves it, and the result as `resultOk` judges it.
template <typename ResultOk>
void Step(Library& library, const char* plain, std::initializer_list<uint32_t> args,
          const char* expected, ResultOk resultOk) {
  const Export* e = Find(library, plain);
  const Outcome o = Call(library, plain, args);
  char name[200];
  snprintf(name, sizeof name, "cdecl call %s: ESP unchanged across the call, %s",
           e != nullptr ? e->name : plain, expected);
  Check(o.shift == 0 && resultOk(o.result), name, "ESP moved by %d bytes, result 0x%x", o.shift,
        o.result);
}

bool Equals(uint32_t want, uint32_t got) { return want == got; }

// Bridge box 0 is device 0, driver-port box 0 device 1.
const Identity kBridgeRecord = {100, 0xB0B0B0B1, 0x20230101};
const Identity kPortRecord = {300, 0xC0FFEE01, 0x20240717};
const Identity kWritten = {400, 0x5E000001, 0x20991231};

bool SetUpBoxes(HANDLE control) {
  return ControlResetAll(control) && BridgeResetAll() &&
         BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew) &&
         BridgeWriteIdentity(0, kBridgeRecord, 0, 0) && PortPlugIn(control, 0) &&
         PortWriteIdentity(control, 0, kPortRecord);
}

// Every export through a cdecl pointer, in a session on each variant. A pointer the
// library ignores is passed as a non-null junk value; the device number of OpenPosInterface
// as a word whose upper bytes are junk, as some compilers push an unsigned char.
void CdeclCalls(HANDLE control, const char* tevroPath) {
  Library t;
  if (!Load(tevroPath, "TEVRO.DLL (x86)", t)) return;
  const uint32_t junk = 0xBAD0F00D;
  char text[16];
  char flag = 7;
  const auto opened = [](uint32_t r) { return r != 0xFFFFFFFFu; };
  const auto one = [](uint32_t r) { return r == 1; };

  Step(t, "GetNumPos", {}, "result 0x101", [](uint32_t r) { return r == 0x0101; });
  Step(t, "ScanForPos", {}, "result 0x101", [](uint32_t r) { return r == 0x0101; });
  Step(t, "OpenPosInterfaceV", {}, "device 0 (bridge) opens", opened);
  memset(text, 'x', sizeof text);
  Step(t, "GetFirmWareVersion", {Word(text)}, "writes \"FTDI>=1.6\"",
       [&](uint32_t) { return strcmp(text, "FTDI>=1.6") == 0; });
  Step(t, "GetSerialNumberP", {junk}, "the bridge box's serial number",
       [](uint32_t r) { return Equals(kBridgeRecord.serial, r); });
  Step(t, "OpenPosInterface", {0xFFFFFF01u}, "device 1 (driver-port) opens", opened);
  memset(text, 'x', sizeof text);
  Step(t, "GetFirmWareVersion", {Word(text)}, "writes \"Cy\"",
       [&](uint32_t) { return strcmp(text, "Cy") == 0; });
  Step(t, "GetSwitch", {Word(&flag)}, "switch 0, read flag 1",
       [&](uint32_t r) { return r == 0 && flag == 1; });
  flag = 7;
  Step(t, "GetSwitchP", {junk, Word(&flag)}, "switch 0, read flag 1",
       [&](uint32_t r) { return r == 0 && flag == 1; });
  Step(t, "GetLastOpenCnt", {}, "the stored counter",
       [](uint32_t r) { return Equals(kPortRecord.count, r); });
  Step(t, "GetLastOpenCntP", {junk}, "the stored counter",
       [](uint32_t r) { return Equals(kPortRecord.count, r); });
  Step(t, "GetSerialNumber", {}, "the serial number",
       [](uint32_t r) { return Equals(kPortRecord.serial, r); });
  Step(t, "GetMfgDate", {}, "the date", [](uint32_t r) { return Equals(kPortRecord.date, r); });
  Step(t, "GetMfgDateP", {junk}, "the date",
       [](uint32_t r) { return Equals(kPortRecord.date, r); });
  Step(t, "SetSerialNumber", {kWritten.serial}, "result 1", one);
  Step(t, "SetMfgDate", {kWritten.date}, "result 1", one);
  Step(t, "SetLastOpenCnt", {kWritten.count}, "result 1", one);
  Identity stored = {0, 0, 0};
  Check(PortReadIdentity(control, 0, &stored) && stored == kWritten,
        "cdecl calls: the three setters' arguments arrived: the box holds the written record",
        "box holds %u/%08x/%08x", stored.count, stored.serial, stored.date);
  Step(t, "KasseOpen", {}, "result 1", one);
  PumpUntilReleased(0, kTimerLimitMs);
  Step(t, "KasseOpenP", {junk}, "result 1", one);
  Step(t, "KasseClose", {}, "result 1", one);
  Step(t, "KasseCloseP", {junk}, "result 1", one);
  Step(t, "GetLocalOpenCnt", {}, "2 openings", [](uint32_t r) { return r == 2; });
  Step(t, "GetLocalOpenCntP", {junk}, "2 openings", [](uint32_t r) { return r == 2; });
  Step(t, "GetTotalOpenCnt", {}, "the written counter + 2",
       [](uint32_t r) { return r == kWritten.count + 2; });
  Step(t, "GetTotalOpenCntP", {junk}, "the written counter + 2",
       [](uint32_t r) { return r == kWritten.count + 2; });
  Step(t, "ClosePosInterfaceP", {junk}, "result 1", one);
  Check(PortReadIdentity(control, 0, &stored) && stored.count == kWritten.count + 2,
        "cdecl calls: the close wrote the 2 openings back", "counter %u", stored.count);
  Step(t, "ClosePosInterface", {}, "result 1 with no box open", one);
  Step(t, "GetSerialNumber", {}, "0 with no box open", [](uint32_t r) { return r == 0; });

  int uncalled = 0;
  for (const Export& e : t.exports) {
    if (e.calls == 0) {
      printf("  not called: %s\n", e.name);
      ++uncalled;
    }
  }
  Check(uncalled == 0, "cdecl calls: every one of the 26 exports was called and checked",
        "%d not called", uncalled);
  FreeLibrary(t.module);
}

// The same stack check against STDCALL.DLL: every export that takes arguments must be
// caught, each with ESP moved by exactly its argument bytes. Exports without arguments
// return with a plain "ret" in either convention, so no check can tell them apart.
void StdcallSelfTest(const char* fixturePath) {
  Library f;
  if (!Load(fixturePath, "self-test: STDCALL.DLL (the exports as stdcall functions)", f)) return;
  char text[16];
  char flag = 0;
  int caught = 0;
  int withArguments = 0;
  int wrong = 0;
  for (Export& e : f.exports) {
    std::vector<uint32_t> args;
    for (uint32_t i = 0; i < e.arguments; ++i) {
      // Every pointer valid, every number harmless: the fixture may write through them.
      args.push_back(i == 0 && strcmp(e.plain, "GetFirmWareVersion") == 0 ? Word(text)
                                                                          : Word(&flag));
    }
    int32_t shift = 0;
    ++e.calls;
    CallWatchingStack(e.address, args.data(), static_cast<uint32_t>(args.size()), &shift);
    const int32_t argumentBytes = static_cast<int32_t>(4 * e.arguments);
    if (e.arguments > 0) ++withArguments;
    if (shift != 0) ++caught;
    if (shift != argumentBytes) {
      printf("  %s: ESP moved by %d bytes, expected %d\n", e.name, shift, argumentBytes);
      ++wrong;
    }
  }
  char name[200];
  snprintf(name, sizeof name,
           "self-test: the stack check rejects a stdcall build: it catches all %d exports that "
           "take arguments, each with ESP off by exactly its argument bytes",
           withArguments);
  Check(withArguments > 0 && caught == withArguments && wrong == 0, name,
        "%d caught, %d with another shift", caught, wrong);
  printf("  (the %d exports without arguments return with a plain ret in both conventions)\n",
         kTevroExportCount - withArguments);
  FreeLibrary(f.module);
}

// decorated_import.exe imports TEVRO.DLL by the decorated names; the library beside it is
// loaded with it, so the boxes are plugged in first.
void DecoratedImport(HANDLE control, const char* exePath) {
  if (!Check(SetUpBoxes(control), "decorated import: a bridge box and a driver-port box set up")) {
    return;
  }
  const uint32_t mark = PortLogMark(control);
  DWORD code = 1;
  std::string output;
  const bool ended = RunProcess(Quote(exePath) + " 1", kChildTimeoutMs, &code, &output);
  const std::vector<Pulse> pulses = PulsesIn(PortEventsSince(control, mark), 0);
  char expected[160];
  snprintf(expected, sizeof expected,
           "mismatches=0 numpos=0x101 opened=1 firmware=Cy serial=%u date=%u count=%u",
           kPortRecord.serial, kPortRecord.date, kPortRecord.count);
  std::string got;
  for (const char* key :
       {"mismatches", "numpos", "opened", "firmware", "serial", "date", "count"}) {
    got += std::string(got.empty() ? "" : " ") + key + "=" + ValueOf(output, key);
  }
  const bool ran =
      Check(ended && code == 0 && HasLine(output, "done") && got == expected,
            "decorated import: the program linked by the decorated names binds all 26 imports to "
            "their exports, opens the driver-port box and reads its firmware text and record",
            "ended %d exit %lu, %s", ended, code, got.c_str());
  if (!ran) printf("  its output:\n%s\n", output.c_str());
  Identity stored = {0, 0, 0};
  PortReadIdentity(control, 0, &stored);
  const bool onePulse = pulses.size() == 1 && pulses[0].highUs >= pulses[0].lowUs + kPulseUs;
  Check(ValueOf(output, "kicked") == "1" && ValueOf(output, "local") == "1" &&
            ValueOf(output, "closed") == "1" && stored.count == kPortRecord.count + 1 && onePulse,
        "decorated import: its kick gives one pulse of at least 60 ms and its close writes the "
        "opening back",
        "kicked %s local %s closed %s, counter %u, %zu pulses", ValueOf(output, "kicked").c_str(),
        ValueOf(output, "local").c_str(), ValueOf(output, "closed").c_str(), stored.count,
        pulses.size());
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  if (argc != 4) {
    fprintf(stderr, "usage: call_convention_check TEVRO_DLL STDCALL_DLL DECORATED_IMPORT_EXE\n");
    return 2;
  }
  HANDLE control = drelvansim::ControlOpen();
  if (Check(control != INVALID_HANDLE_VALUE, "setup: the stand-in port driver answers", "error %lu",
            GetLastError()) &&
      Check(SetUpBoxes(control), "setup: a bridge box and a driver-port box set up")) {
    CdeclCalls(control, argv[1]);
    StdcallSelfTest(argv[2]);
    DecoratedImport(control, argv[3]);
  }
  if (control != INVALID_HANDLE_VALUE) drelvansim::ControlClose(control);
  return Summary();
}

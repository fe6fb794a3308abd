// Internal state of the simulated world, shared by the stand-in's source files.
#ifndef HOSTWIN_STATE_H
#define HOSTWIN_STATE_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "world.h"

namespace hostwin {

struct Timer {
  UINT_PTR id;
  uint32_t thread;
  uint32_t elapseMs;
  uint64_t dueUs;
  TIMERPROC proc;
};

constexpr int kMaxCallKinds = 64;

struct State {
  std::map<std::string, std::string> env;

  D2xxFile d2xxFile = D2xxFile::kAbsent;
  std::string missingFunction;
  bool planted = false;
  bool d2xxLoaded = false;
  bool plantedLoaded = false;
  uint64_t nextHandle = 0;  // 0: the default scheme
  uint32_t handleSerial = 0;

  bool bridgePresent[kMaxBridgeBoxes] = {};
  sim::BridgeBox bridges[kMaxBridgeBoxes];
  std::map<uintptr_t, int> ftHandles;  // live FT handle -> device number
  size_t ftCalls = 0;
  size_t ftFaultAt = 0;  // ftCalls value of the call that meets the fault; 0 none
  FtFault ftFault = FtFault::kError;

  bool portPresent[kMaxPortBoxes] = {};
  sim::PortBox ports[kMaxPortBoxes];
  std::map<uintptr_t, int> deviceHandles;  // live device handle -> port box index
  uint32_t deviceSerial = 0;
  std::function<bool(int, uint32_t, const uint8_t*)> deviceHook;

  uint64_t nowUs = 1000000;  // the virtual clock; the performance counter counts microseconds
  bool coarseTicks = false;  // the tick clock, sleeps and timers move in kCoarseTickUs steps
  std::vector<Timer> timers;
  UINT_PTR nextTimerId = 0x7001;
  int failSetTimer = 0;

  std::vector<MessageBoxRecord> messageBoxes;
  std::vector<BeepRecord> beeps;
  std::function<void(const MessageBoxRecord&)> messageBoxHook;

  struct Mutex {
    uint32_t ownerThread = 0;  // 0 free; kOtherProgram: another program holds it
    uint32_t recursion = 0;
    uint64_t otherUntilUs = 0;  // with kOtherProgram: released then (0: never)
    bool abandoned = false;
  };
  std::map<std::string, Mutex> mutexes;
  std::map<std::string, std::vector<uint8_t>> sharedMemory;
  std::map<uintptr_t, std::string> syncHandles;  // mutex or mapping handle -> name
  std::map<uint32_t, uint64_t> processes;        // live pid -> creation time
  uintptr_t nextSyncHandle = 0x50000000;
  uint32_t thread = 1;
  bool libraryPinned = false;

  std::vector<std::string> folders;
  std::map<std::string, std::string> files;      // by lower-case path
  std::map<uintptr_t, std::string> fileHandles;  // open file -> lower-case path
  bool failFileWrites = false;
  bool failFileRenames = false;
  std::map<std::string, std::string> registry;  // "HKCU\key\name" (lower case) -> value
  uintptr_t nextFileHandle = 0x70000000;

  std::vector<TraceEntry> trace;
  bool traceEnabled = true;
  size_t callCounts[kMaxCallKinds] = {};  // by CallSlot()
};

State& S();

constexpr uint32_t kOtherProgram = 0xFFFFFFFF;

// The tick clock's last step at or before the virtual time: the time itself on a fine clock.
uint64_t TickAtOrBefore(uint64_t us);
// When a wait of ms milliseconds begun now ends: on a coarse clock it is measured from the
// last tick and ends at a tick, as the system's interrupt-time waits do (so it can end up
// to one tick early by the fine clock, never before now).
uint64_t WaitEndUs(uint32_t ms);

void Record(const std::string& call, const std::string& args);
int CallSlot(const char* call);  // the counter of that call name, assigned at first use

// Every stand-in call starts here: counts the call and, while the trace is on, records it.
// 'args' (an expression giving the argument text) is evaluated only when it is recorded.
#define TRACE_CALL(call, args)                                      \
  do {                                                              \
    static const int traceCallSlot = ::hostwin::CallSlot(call);     \
    ++::hostwin::S().callCounts[traceCallSlot];                     \
    if (::hostwin::S().traceEnabled) ::hostwin::Record(call, args); \
  } while (0)
bool CloseSyncHandle(HANDLE handle);  // a mutex, mapping or process handle: untraced
// Files other than devices (files.cpp): the handle of a file opened by CreateFileA, or
// INVALID_HANDLE_VALUE; closing one. Untraced.
HANDLE OpenFile(const char* name, DWORD access, DWORD disposition);
bool CloseFileHandle(HANDLE handle);

// Counts a call without recording it in the trace: calls that carry no box traffic.
#define COUNT_CALL(call)                                        \
  do {                                                          \
    static const int countCallSlot = ::hostwin::CallSlot(call); \
    ++::hostwin::S().callCounts[countCallSlot];                 \
  } while (0)

std::string Hex(const void* data, size_t length);           // "1b 70 00"
std::string HexValue(uint64_t value);                       // "0x1f"
bool SameText(const std::string& a, const std::string& b);  // case-insensitive

}  // namespace hostwin

#endif  // HOSTWIN_STATE_H

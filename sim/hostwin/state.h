// Internal state of the simulated world, shared by the stand-in's source files.
#ifndef HOSTWIN_STATE_H
#define HOSTWIN_STATE_H

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "world.h"

namespace hostwin {

// A parsed security descriptor: its access entries in order, and the label if any.
struct Ace {
  bool allow;
  uint32_t rights;  // generic rights not yet mapped
  std::string sid;  // a two-letter alias, or "S-1-..." text
};
struct Security {
  bool hasDacl = false;  // false: no D: part, so the maker's default DACL applies
  std::vector<Ace> dacl;
  std::string label;  // "LW", "ME", ... or ""
};

// The users the world knows, as SIDs: the desktop's, and another local user.
constexpr char kDesktopUser[] = "S-1-5-21-1-1001";
constexpr char kAnotherUser[] = "S-1-5-21-1-1002";

// Who opens an object: a user, elevated or not, or SYSTEM.
struct Opener {
  std::string user;
  bool elevated;
  bool system;
};

// A secured thing (named object, file, folder): what it was made with, and its owner.
struct Secured {
  std::string sddl;  // "" for the default security
  Security security;
  bool madeElevated = false;
  std::string owner;  // a SID: the maker's user, "BA" (an elevated maker) or "SY"
};

struct PoolTimer {
  PTP_TIMER_CALLBACK callback;
  void* context;
  bool armed = false;  // an expiry is pending at dueUs
  uint64_t dueUs = 0;
  uint32_t periodMs = 0;
  bool queued = false;  // an expiry came; its callback has not started
  uint64_t queuedAtUs = 0;
  bool running = false;
  bool closed = false;
};

struct Timer {
  UINT_PTR id;
  uint32_t thread;
  uint32_t elapseMs;
  uint64_t dueUs;
  TIMERPROC proc;
};

constexpr int kMaxCallKinds = 128;

struct State {
  std::map<std::string, std::string> env;

  D2xxFile d2xxFile = D2xxFile::kAbsent;
  std::string missingFunction;
  bool planted = false;
  bool d2xxLoaded = false;
  bool plantedLoaded = false;
  uint64_t nextHandle = 0;
  bool nextHandleSet = false;  // false: the default scheme
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

  // A named object (or an unnamed one, under a name no program can give). Objects live
  // until Reset: the stand-in does not destroy one when its last handle closes.
  struct Object : Secured {
    ObjectKind kind = ObjectKind::kMutex;
    bool madeByOther = false;  // another program made it (MakeObjectAs, HoldMutex, ...)
    uint32_t ownerThread = 0;  // mutex: 0 free; kOtherProgram: another program holds it
    uint32_t recursion = 0;
    uint64_t otherUntilUs = 0;  // with kOtherProgram: released then (0: never)
    bool abandoned = false;
    std::vector<uint8_t> memory;  // mapping: whole pages, zeroed at creation
    size_t size = 0;              // mapping: the size it was made with
    std::string file;             // mapping of a file: its lower-case path, else ""
  };
  std::map<std::string, Object> objects;
  uint32_t unnamedObjects = 0;
  struct SyncHandle {
    std::string name;
    DWORD access;  // the rights it was opened with, generic rights mapped
  };
  std::map<uintptr_t, SyncHandle> syncHandles;  // mutex or mapping handle
  uintptr_t nextSyncHandle = 0x50000000;

  struct Process {
    uint64_t creationTime;
    bool opens;  // OpenProcess may open it
    bool alive;
  };
  std::map<uint32_t, Process> processes;
  std::map<uintptr_t, uint32_t> processHandles;  // handle -> pid
  std::map<uintptr_t, DWORD> tokenHandles;       // token handle -> rights
  uintptr_t nextProcessHandle = 0x60000000;
  bool elevated = false;
  uint32_t session = 1;
  bool service = false;  // runs as SYSTEM in session 0
  bool globalNamespace = true;
  bool splitToken = true;  // user account control gives the user a limited and a full token
  int processBits = 64;

  uint32_t thread = 1;
  std::map<uint32_t, DWORD> lastError;  // by thread
  bool libraryPinned = false;
  struct Section {
    int number;  // 1 for the first initialised since Reset
    uint32_t owner = 0;
    long recursion = 0;
    std::vector<std::pair<uint32_t, long>> displaced;  // owners a violating entry took over from
  };
  std::map<const CRITICAL_SECTION*, Section> sections;
  int sectionsMade = 0;
  std::vector<std::string> violations;
  int callouts = 0;  // library code or a test's hook runs from inside the stand-in

  std::map<uintptr_t, PoolTimer> poolTimers;
  uintptr_t nextPoolTimer = 0x90000000;
  bool poolHeld = false;

  std::vector<std::string> folders;
  std::map<std::string, Secured> fileSecurity;   // files and folders made with security
  std::map<std::string, std::string> files;      // by lower-case path
  std::map<uintptr_t, std::string> fileHandles;  // open file -> lower-case path
  std::map<uintptr_t, DWORD> fileAccess;         // open file -> the rights it was opened for
  std::map<std::string, std::pair<DWORD, bool>> fileShapes;  // path -> links, reparse point
  std::set<std::string> nonDiskNames;                        // lower case: names that open a device
  bool failFileWrites = false;
  bool failFileRenames = false;
  std::map<std::string, std::string> registry;  // "hklm\key\name" (lower case) -> value
  uintptr_t nextFileHandle = 0x70000000;
  std::map<uintptr_t, std::string> deviceFiles;  // open non-disk handle -> name as opened
  std::map<uintptr_t, DWORD> deviceFileTypes;
  std::vector<NonDiskWrite> nonDiskWrites;

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
bool CloseSyncHandle(HANDLE handle);  // a mutex, mapping, process or token handle: untraced
// The security GetSecurityInfo reports for an open file (files.cpp).
DWORD FileSecurityOfHandle(HANDLE handle, PSECURITY_DESCRIPTOR* descriptor);
bool CloseDeviceFile(HANDLE handle);  // a non-disk handle from CreateFileA: untraced
// A box device handle, as GetFileType and WriteFile see it.
bool IsBoxDevice(HANDLE handle);

void SetError(DWORD error);  // the calling thread's last error
void Violation(const std::string& text);
// A violation when the calling thread holds a lock: "<what> with a lock held: <locks>".
void CheckNoLockHeld(const std::string& what);
// Texts of the locks 'thread' holds (any thread's critical sections with kAnyThread).
constexpr uint32_t kAnyThread = 0;
std::vector<std::string> LocksOf(uint32_t thread);
// Parses SDDL text; false when it is not one the stand-in reads.
bool ParseSecurity(const std::string& text, Security* out);
// This process as an opener; a secured thing made by it (security from 'sddl').
Opener ThisOpener();
Secured MadeByThisProcess(const std::string& sddl, const Security& security);
// Whether a thing of 'kind' ("mutex", "mapping", "file") made with 'secured' grants
// 'access' (generic rights allowed) to 'opener'.
enum class SecuredKind { kMutex, kMapping, kFile };
bool Grants(const Secured& secured, SecuredKind kind, DWORD access, const Opener& opener);
bool Grants(const State::Object& object, DWORD access, const Opener& opener);
DWORD MapGeneric(SecuredKind kind, DWORD access);
SecuredKind KindOf(ObjectKind kind);
// Its security as the system would report it: "O:owner" and its DACL ("D:(A;;GA;;;WD)" for
// the defaults of a maker that was not elevated).
std::string ReportedSecurity(const Secured& secured);
// A descriptor handed to the library for that text, freed with LocalFree.
PSECURITY_DESCRIPTOR MakeDescriptor(const std::string& text);
// The key of a named object: Global\ names as given, others in the session's namespace.
std::string ObjectKey(const std::string& name);
// A file's bytes as the world keeps them, a mapping of it included (files.cpp).
std::string* FileBytes(const std::string& lowerPath);
std::string LowerPath(const std::string& path);
// The descriptor security attributes carry: true with "" for the defaults, true with its
// text for a live one, false for one never made or freed already.
bool DescriptorOf(const SECURITY_ATTRIBUTES* attributes, std::string* text, Security* security);
void FreeDescriptors();  // every descriptor still unfreed (Reset)
// When a timer of 'us' microseconds begun now expires: measured from the last tick on a
// coarse clock, as the system's interrupt-time timers are.
uint64_t DueAfterUs(uint64_t us);
// Time passes up to 'targetUs', stopping at each pool timer's due time to run callbacks.
void AdvanceToUs(uint64_t targetUs);
// Library code (or a test's hook) runs from inside a stand-in call while one lives: no pool
// callback may run then.
struct Callout {
  Callout();
  ~Callout();
  Callout(const Callout&) = delete;
  Callout& operator=(const Callout&) = delete;
};
// Names other than box devices (files.cpp): the handle CreateFileA opens for a file, a
// device or a pipe, or INVALID_HANDLE_VALUE; closing a file's. Untraced.
HANDLE OpenFile(const char* name, DWORD access, DWORD disposition, DWORD flags,
                const SECURITY_ATTRIBUTES* security);
bool IsFolder(const std::string& path);  // lower case
// The lower-case path of an open file's handle; null for another handle.
const std::string* FilePathOf(HANDLE handle);
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

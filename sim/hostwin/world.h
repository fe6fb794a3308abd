// The simulated world behind the host stand-in for Win32: the machine's environment and
// files, the D2XX library, the boxes, a virtual clock with timers, the user interface,
// and a trace of every call the library makes. Tests configure it and inspect it.
#ifndef HOSTWIN_WORLD_H
#define HOSTWIN_WORLD_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "models/bridge_box.h"
#include "models/port_box.h"

namespace hostwin {

struct TraceEntry {
  std::string call;  // the function name, e.g. "FT_Write"
  std::string args;  // its arguments as text, e.g. "h0,1b 70 00 61 62"
  std::string Text() const { return call + "(" + args + ")"; }
};

struct MessageBoxRecord {
  std::string text;
  std::string caption;
  uint32_t type;
  bool hasOwner;
  uint32_t atMs;
};

struct BeepRecord {
  uint32_t type;
  uint32_t atMs;
};

enum class D2xxFile {
  kAbsent,      // no ftd2xx.dll in the system folder
  kPresent,     // a working library
  kDirectory,   // a directory of that name
  kUnloadable,  // the file exists but does not load
};

constexpr int kMaxBridgeBoxes = 16;

// Back to a fresh machine: windir "C:\WINDOWS", no D2XX library, no boxes, clock at
// 1000 ms, no timers, no named objects, thread 1 of a 64-bit process that is not elevated,
// empty records and trace. TEVRO_TRACE of the real environment, when
// set, is set in the world's too.
void Reset();

// Environment.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
std::string SystemD2xxPath();  // %windir%\system32\ftd2xx.dll as the world knows it

// The D2XX library.
void SetD2xxFile(D2xxFile file);
void SetD2xxMissingFunction(const std::string& name);  // GetProcAddress fails for it
void SetPlantedD2xx(bool planted);  // a copy beside the application, found by the search order
bool D2xxLoaded();                  // the system copy is loaded now
bool PlantedD2xxLoaded();           // the planted copy was ever loaded
// The handle value the next successful FT_Open hands out, null included (by default
// handles are 0x10000 + 0x100 * deviceNumber + a serial number).
void SetNextBridgeHandle(uint64_t value);

// Bridge boxes by D2XX device number (0 .. kMaxBridgeBoxes - 1).
sim::BridgeBox& AddBridgeBox(int deviceNumber, uint32_t userAreaSize = 64);
sim::BridgeBox& BridgeBoxAt(int deviceNumber);
void RemoveBridgeBox(int deviceNumber);
void ReplugBridgeBox(int deviceNumber);  // back after RemoveBridgeBox, its memory kept
int OpenBridgeHandles();                 // FT_Open successes not yet closed

enum class FtFault {
  kError,   // the call returns an error status and does nothing
  kShort,   // writes and reads move one byte less (no byte for FT_Read); others as kError
  kUnplug,  // every bridge box is pulled out just before the call
};
// The k-th FT_* call from now on (1 = the next) meets the fault; 0 disarms.
void FailFtCall(uint32_t k, FtFault fault);
size_t FtCalls();  // FT_* calls since Reset

// Driver-port boxes by index (\\.\Drelvan_0 .. \\.\Drelvan_9).
constexpr int kMaxPortBoxes = 10;
sim::PortBox& AddPortBox(int index, uint8_t status = 0xF3);
sim::PortBox& PortBoxAt(int index);
void RemovePortBox(int index);  // unplugged: CreateFileA fails, open handles stop working
void ReplugPortBox(int index);  // back after RemovePortBox or a pull-out, its EEPROM kept
int OpenDeviceHandles();        // CreateFileA successes not yet closed
// The port boxes whose EEPROM saw its rules broken since they were added, one line per box
// and rule: a start bit sent while it was still programming ("port box N: K start bit(s)
// sent into the EEPROM while it was still programming"), a timing fault, a data-in change
// while selected with the clock high ("port box N: K EEPROM timing fault(s), the first:
// ..." as sim::EepromTimingFaultText gives it). Empty when every box kept the rules.
std::vector<std::string> PortEepromFaults();
// Runs before each driver request reaches a box (it may change the box); returning false
// makes the request fail without reaching the box. An empty function removes the hook.
void OnDeviceRequest(std::function<bool(int index, uint32_t code, const uint8_t* command)> hook);

// Virtual clock, timers and message dispatch. The clock runs in microseconds; the
// performance counter reads it exactly. GetTickCount reads it in whole milliseconds, or,
// with coarse ticks on, as it stood at the last tick (Windows' default 15.625 ms steps);
// then Sleep and timers also end on ticks, measured from the last one.
constexpr uint64_t kCoarseTickUs = 15625;
uint32_t NowMs();
uint64_t NowUs();
void AdvanceMs(uint32_t ms);  // time passes; pool callbacks run, no message is dispatched
void AdvanceUs(uint64_t us);
void SetCoarseTicks(bool coarse);
int Pump();                         // dispatches every due timer once; returns how many ran
void RunFor(uint32_t ms);           // time passes in 1 ms steps with the thread dispatching
void FailTimerCreation(int count);  // the next 'count' SetTimer or CreateThreadpoolTimer calls fail
size_t ActiveTimers();  // timers that will still fire: window-less ones and armed pool timers

// Other programs and threads. The library runs as process kProcessId; other processes can
// be added and ended. A named mutex can be held by another program (for a while, or for
// ever) or left abandoned by one that died; waits on it advance the clock. Window-less
// timers belong to the thread that set them: only that thread kills them, and Pump()
// dispatches the current thread's timers only.
constexpr uint32_t kProcessId = 4242;
constexpr uint32_t kPoolThreadId = 0x900;  // the pool thread timer callbacks run on
void AddProcess(uint32_t pid, uint64_t creationTime);
void AddProcessDenyingOpen(uint32_t pid, uint64_t creationTime);  // OpenProcess: access denied
void EndProcess(uint32_t pid);
void SetElevated(bool elevated);  // this process runs elevated (its token says so)
// Logon sessions. The library's process runs in session 1 as the desktop's user (at Reset),
// or in another: a service runs in session 0 as SYSTEM, which holds the privilege to make
// global file mappings. "Local\" names (and names without a prefix) are the session's own,
// "Global\" names every session's. Another user is someone other than the desktop's user.
void SetSession(uint32_t session, bool service);
// Global\ names refused to every caller (ERROR_ACCESS_DENIED), as in a sandbox.
void SetGlobalNamespace(bool reachable);
// User account control on (at Reset): an administrator's programs run with a limited token
// unless elevated. Off: every program of an administrator has the one, full token.
void SetUserAccountControl(bool on);
// Another program (a copy of the library, when it makes the mutex) holds it.
void HoldMutex(const std::string& name, uint32_t forMs);  // forMs 0: until released
void AbandonMutex(const std::string& name);  // the next wait on it returns WAIT_ABANDONED
bool MutexHeld(const std::string& name);     // by anyone, this process included
std::vector<std::string> MutexNames();       // every name a mutex was created with
// The bytes of the shared memory of that name; null before anyone created it.
uint8_t* SharedMemory(const std::string& name);
void SetThread(uint32_t threadId);  // the thread the library is called on (1 at Reset)
// The thread ends: each named mutex it owns is abandoned; a critical section it holds stays
// held for ever, a lock violation.
void EndThread(uint32_t threadId);
bool LibraryPinned();  // the library asked to stay loaded until the process ends

// Named objects and their security. An object made with no descriptor grants everything
// to every program of the session, unless an elevated program made it: then only elevated
// ones (and SYSTEM) may open it. Its owner is its maker's user, the administrators when an
// elevated program made it, SYSTEM when a service did; the owner may read and change the
// DACL unless an entry for OW (owner rights) says otherwise. Making a global file mapping
// needs the privilege only elevated programs and services hold. Objects live until Reset(), whoever
// closes their handles, unless a test ends them as the system does: DropUnheldObjects() is the
// moment the last program holding them ended, and every object to which no handle is open (nor one
// another program made or holds) is gone, its memory with it.
enum class ObjectKind { kMutex, kMapping };
void DropUnheldObjects();
// Another program makes the object first, with this descriptor text ("" for the default),
// elevated or not, as the desktop's user or another user. False when the text does not parse
// or the name is taken.
bool MakeObjectAs(const std::string& name, ObjectKind kind, const std::string& sddl, bool elevated,
                  bool anotherUser = false);
// Another user's program makes the file first (its folder must exist), with this descriptor.
bool MakeFileAs(const std::string& path, const std::string& sddl);
bool MakeFolderAs(const std::string& folder, const std::string& sddl);  // the same, a folder
// The file or folder has this many names (hard links), or is a reparse point (a link to
// another file, a mount point): what GetFileInformationByHandle reports of it. One name, no reparse
// point at Reset.
void SetFileShape(const std::string& path, uint32_t links, bool reparsePoint);
// The memory every process shares for a file mapped by one of them (the file's bytes, kept
// in step); null when no mapping of the file was made since Reset.
uint8_t* MappedFile(const std::string& path);
// The security text a folder or file was made with ("" when none was given).
std::string FileSecurityText(const std::string& path);
// Whether another program of the desktop's user (not elevated), or of another user, may
// open the file or folder for these rights.
bool FileOpenableBy(const std::string& path, uint32_t access, bool anotherUser);
std::string ObjectSecurityText(const std::string& name);  // as made; "" for the default
// The rights of each handle this process has open to the object, in the order opened.
std::vector<uint32_t> ObjectAccess(const std::string& name);
// Whether another program of the desktop's user, elevated or not, or one of another user,
// may open the object for these rights.
bool OpenableBy(const std::string& name, uint32_t access, bool elevated);
bool OpenableByAnotherUser(const std::string& name, uint32_t access);
size_t UnfreedDescriptors();  // security descriptors made and not given to LocalFree

// Locks: named mutexes and critical sections have an owning thread. What would hang or
// break on Windows (a critical section entered while another thread holds it, left by a
// thread that does not hold it, deleted while held; a wait with no end; a message box shown
// with a lock held; a pool callback returning with one) is recorded as a violation, and
// the call goes on.
std::vector<std::string> LockViolations();  // in order
void ClearLockViolations();
// Each named mutex a thread of this process owns and each critical section anyone holds;
// empty when none.
std::vector<std::string> LocksHeld();

// Thread-pool timers on the virtual clock. A due callback runs on kPoolThreadId when time
// passes through AdvanceMs, AdvanceUs or RunFor (the clock stops at each due time), or when
// RunDuePoolTimers is called; never inside a library call, nor while the pool is held (a
// wait for a timer's callbacks that does not cancel them runs a queued one: see pool.cpp).
int RunDuePoolTimers();          // runs the callbacks due now; returns how many ran
void HoldPoolTimers(bool held);  // held: due callbacks wait (a starved pool)
size_t PoolTimersOpen();         // created and not closed
size_t PoolTimersArmed();        // with an expiry pending or a callback queued
void DiscardPoolTimers();        // every timer dropped unrun: the code behind them is gone

// Files, the registry and the local time, as the trace uses them. Files can be made only
// in folders the world has; the local date is 2026-12-08, 10:00:00.000 at clock 0.
void AddFolder(const std::string& folder);
bool FileExists(const std::string& path);
std::string FileText(const std::string& path);
void SetFileText(const std::string& path, const std::string& text);  // its folder need not exist
void FailFileWrites(bool fail);   // every write fails (a full disk)
void FailFileRenames(bool fail);  // every rename fails (a file held without delete sharing)
// The registry's two views: HKLM\Software has one for 64-bit and one for 32-bit programs
// (read without KEY_WOW64_64KEY, a 32-bit process sees the 32-bit one); HKCU\Software is
// one for both. A value is written into the given view.
enum class RegistryView { k64, k32 };
void SetProcessBits(int bits);  // 32 or 64 (64 at Reset)
void SetRegistryString(bool machine, const std::string& key, const std::string& name,
                       const std::string& value, RegistryView view = RegistryView::k64);
void DeleteRegistryValue(bool machine, const std::string& key, const std::string& name,
                         RegistryView view = RegistryView::k64);
// Writes to handles that are no file on a disk (a device, a pipe): what went where.
struct NonDiskWrite {
  std::string name;  // as opened
  std::string data;
};
const std::vector<NonDiskWrite>& NonDiskWrites();
// A name that reads as a file's but opens a device (redirected by a link or a driver): only
// the handle's type tells.
void MakeNonDiskName(const std::string& name);

// User interface.
const std::vector<MessageBoxRecord>& MessageBoxes();
const std::vector<BeepRecord>& Beeps();
// Runs while a message box is up (after it is recorded, before it is dismissed).
void OnMessageBox(std::function<void(const MessageBoxRecord&)> hook);

// Trace of every stand-in call the library made.
const std::vector<TraceEntry>& Trace();
std::vector<std::string> TraceTexts(const std::string& callPrefix = "");
// Calls of that name since the last Reset() or ClearTrace(), whether traced or not.
size_t CountCalls(const std::string& call);
void ClearTrace();
// Formatting a trace entry costs far more than the call it records. With the trace off
// calls are only counted (CountCalls still answers) and Trace() gains no entries; for
// measuring the library's own time. Reset() turns the trace on again.
void SetTraceEnabled(bool enabled);
bool TraceEnabled();

}  // namespace hostwin

#endif  // HOSTWIN_WORLD_H

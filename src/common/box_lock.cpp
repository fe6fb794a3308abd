// Named mutexes and shared box records, one per box, made at first use and kept until
// the library is unloaded.
#include "common/box_lock.h"

#include <sddl.h>

#include "common/trace.h"

#ifndef PROCESS_QUERY_LIMITED_INFORMATION
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif

namespace {

// The fixed random part makes the names the library's own: no other program's objects
// carry them.
const char kNamePrefix[] = "Local\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.";
constexpr uint8_t kBoxes = 10;
constexpr DWORD kStillActive = 259;

// What the library does with its objects, and all that any program of the logon session
// may do with them, whatever its integrity level and whoever made them: an object made by
// an elevated program (a service tool run as administrator) must not refuse the others,
// and no program may change an object's access list (OW: not even its owner) or use it
// for anything else.
constexpr DWORD kMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kRecordRights = FILE_MAP_READ | FILE_MAP_WRITE;
const char kMutexSecurity[] = "D:(A;;0x00100001;;;WD)(A;;0x00100001;;;OW)S:(ML;;NW;;;LW)";
const char kRecordSecurity[] = "D:(A;;0x00000006;;;WD)(A;;0x00000006;;;OW)S:(ML;;NW;;;LW)";

struct Descriptor {
  PSECURITY_DESCRIPTOR security;
  bool tried;
};

struct BoxObjects {
  HANDLE mutex[2][kBoxes];
  bool refusalTraced[2][kBoxes];    // the trace has said why box N's mutex cannot be had
  uint32_t deadHolders[2][kBoxes];  // operations that found box N's last holder dead
  HANDLE mapping[kBoxes];
  SharedBoxRecord* record[kBoxes];
  uint64_t processStart;  // this process's creation time, once read
  Descriptor mutexSecurity;
  Descriptor recordSecurity;
};

BoxObjects gBoxes;

const char* KindName(BoxKind kind) { return kind == BoxKind::kPort ? "port" : "bridge"; }

// "<prefix>port.3" or "<prefix>bridge.3", then the suffix.
void FormName(char (&name)[96], BoxKind kind, uint8_t index, const char* suffix) {
  char box[16] = {};
  DWORD at = 0;
  for (const char* p = KindName(kind); *p != '\0'; ++p) box[at++] = *p;
  box[at++] = '.';
  box[at++] = static_cast<char>('0' + index);
  for (const char* p = suffix; *p != '\0' && at + 1 < sizeof box; ++p) box[at++] = *p;
  FormObjectName(name, box);
}

// The attributes an object is made with, from 'text' (made once). Null when the
// descriptor cannot be made: the object is then not made at all, rather than made with
// the defaults, which would refuse the session's other programs.
LPSECURITY_ATTRIBUTES Attributes(Descriptor& d, const char* text, SECURITY_ATTRIBUTES* out) {
  if (!d.tried) {
    d.tried = true;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &d.security,
                                                              nullptr)) {
      d.security = nullptr;
    }
  }
  if (d.security == nullptr) return nullptr;
  *out = SECURITY_ATTRIBUTES{sizeof *out, d.security, FALSE};
  return out;
}

void FreeDescriptor(Descriptor& d) {
  if (d.security != nullptr) LocalFree(d.security);
  d = Descriptor{};
}

const char* WhyNotHad(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return "another program made it with rights that refuse this one";
    case ERROR_INVALID_HANDLE:
      return "its name belongs to another kind of object";
    case ERROR_SUCCESS:
      return "no security descriptor could be made for it";
    default:
      return "the system refused it";
  }
}

HANDLE MutexOf(BoxKind kind, uint8_t index) {
  HANDLE& mutex = gBoxes.mutex[kind == BoxKind::kPort][index];
  if (mutex == nullptr) {
    char name[96];
    FormName(name, kind, index, "");
    mutex = OpenSessionMutex(name);
    bool& said = gBoxes.refusalTraced[kind == BoxKind::kPort][index];
    if (mutex == nullptr && !said) {
      said = true;  // tried again at every operation, said once
      TraceEvent("wait", "%s %u: its mutex cannot be had (%s); the box is not written",
                 KindName(kind), index, WhyNotHad(GetLastError()));
    }
  }
  return mutex;
}

// Opens the record of box 'index' asking for read and write only, making it when there is
// none. Opening first matters: making an existing object opens it asking for every right,
// which its access list refuses.
HANDLE OpenRecord(const char* name) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    HANDLE mapping = OpenFileMappingA(kRecordRights, FALSE, name);
    if (mapping != nullptr || GetLastError() != ERROR_FILE_NOT_FOUND) return mapping;
    SECURITY_ATTRIBUTES attributes;
    LPSECURITY_ATTRIBUTES made = Attributes(gBoxes.recordSecurity, kRecordSecurity, &attributes);
    if (made == nullptr) return nullptr;
    // Memory backed by the paging file starts zeroed: no pulse running, the EEPROM idle.
    HANDLE creator = CreateFileMappingA(INVALID_HANDLE_VALUE, made, PAGE_READWRITE, 0,
                                        sizeof(SharedBoxRecord), name);
    if (creator == nullptr) continue;  // another process made it meanwhile: open that one
    // The maker's handle has every right: the record is kept through one with only those
    // the library uses.
    mapping = OpenFileMappingA(kRecordRights, FALSE, name);
    CloseHandle(creator);
    if (mapping != nullptr) return mapping;
  }
  return nullptr;
}

uint64_t CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

uint64_t ThisProcessStart() {
  if (gBoxes.processStart == 0) gBoxes.processStart = CreationTime(GetCurrentProcess());
  return gBoxes.processStart;
}

}  // namespace

void FormObjectName(char (&name)[96], const char* suffix) {
  DWORD at = 0;
  for (const char* p = kNamePrefix; *p != '\0'; ++p) name[at++] = *p;
  for (const char* p = suffix; *p != '\0' && at + 1 < sizeof name; ++p) name[at++] = *p;
  name[at] = '\0';
}

HANDLE OpenSessionMutex(const char* name) {
  SECURITY_ATTRIBUTES attributes;
  LPSECURITY_ATTRIBUTES made = Attributes(gBoxes.mutexSecurity, kMutexSecurity, &attributes);
  if (made == nullptr) return nullptr;
  return CreateMutexExA(made, name, 0, kMutexRights);
}

BoxLock LockBox(BoxKind kind, uint8_t index, DWORD waitMs) {
  if (index >= kBoxes) return BoxLock::kLocked;
  TraceBox(kind, index);
  HANDLE mutex = MutexOf(kind, index);
  if (mutex == nullptr) return BoxLock::kWithoutLock;
  DWORD result = WaitForSingleObject(mutex, 0);
  if (result == WAIT_TIMEOUT && waitMs > 0) {
    // Held by another caller: wait for it, and say how long.
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    result = WaitForSingleObject(mutex, waitMs);
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    TraceEvent("wait", "%s %u was held by another caller; waited %.1f ms, %s", KindName(kind),
               index,
               static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                   static_cast<double>(frequency.QuadPart),
               result == WAIT_TIMEOUT ? "gave up" : "then took it");
  }
  switch (result) {
    case WAIT_OBJECT_0:
      return BoxLock::kLocked;
    case WAIT_ABANDONED:
      return BoxLock::kAbandoned;
    case WAIT_TIMEOUT:
      return BoxLock::kBusy;
    default:
      return BoxLock::kWithoutLock;  // not held: UnlockBox's release then fails harmlessly
  }
}

void UnlockBox(BoxKind kind, uint8_t index) {
  if (index >= kBoxes) return;
  HANDLE mutex = gBoxes.mutex[kind == BoxKind::kPort][index];
  if (mutex != nullptr) ReleaseMutex(mutex);
}

BoxTurn TakeBoxForOperation(BoxKind kind, uint8_t index, DWORD waitMs) {
  switch (LockBox(kind, index, waitMs)) {
    case BoxLock::kLocked:
      return BoxTurn{.reach = BoxReach::kReached, .lastHolderDied = false};
    case BoxLock::kAbandoned:
      TraceEvent("wait", "%s %u: its last holder died inside an operation", KindName(kind), index);
      ++gBoxes.deadHolders[kind == BoxKind::kPort][index];
      return BoxTurn{.reach = BoxReach::kReached, .lastHolderDied = true};
    case BoxLock::kBusy:
      return BoxTurn{.reach = BoxReach::kBusy, .lastHolderDied = false};
    case BoxLock::kWithoutLock:
      break;
  }
  return BoxTurn{.reach = BoxReach::kWithoutLock, .lastHolderDied = false};
}

bool MayWriteBox(BoxKind kind, uint8_t index, const BoxTurn& turn) {
  if (turn.reach == BoxReach::kReached) return true;
  TraceEvent("wait", "%s %u: not written without the box's lock", KindName(kind), index);
  return false;
}

uint32_t DeadHoldersFound(BoxKind kind, uint8_t index) {
  return index < kBoxes ? gBoxes.deadHolders[kind == BoxKind::kPort][index] : 0;
}

void CloseBoxes() {
  for (uint8_t i = 0; i < kBoxes; ++i) {
    for (HANDLE* kinds : gBoxes.mutex) {
      if (kinds[i] != nullptr) CloseHandle(kinds[i]);
      kinds[i] = nullptr;
    }
    if (gBoxes.record[i] != nullptr) UnmapViewOfFile(gBoxes.record[i]);
    if (gBoxes.mapping[i] != nullptr) CloseHandle(gBoxes.mapping[i]);
    gBoxes.record[i] = nullptr;
    gBoxes.mapping[i] = nullptr;
  }
  FreeDescriptor(gBoxes.mutexSecurity);
  FreeDescriptor(gBoxes.recordSecurity);
}

SharedBoxRecord* PortSharedRecord(uint8_t index) {
  if (index >= kBoxes) return nullptr;
  if (gBoxes.record[index] == nullptr) {
    char name[96];
    FormName(name, BoxKind::kPort, index, ".pulse");  // the name every process opens it by
    HANDLE mapping = OpenRecord(name);
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, kRecordRights, 0, 0, sizeof(SharedBoxRecord));
    if (view == nullptr) {
      CloseHandle(mapping);
      return nullptr;
    }
    gBoxes.mapping[index] = mapping;
    gBoxes.record[index] = static_cast<SharedBoxRecord*>(view);
  }
  return gBoxes.record[index];
}

SharedBoxRecord* PortSharedRecordIfOpen(uint8_t index) {
  return index < kBoxes ? gBoxes.record[index] : nullptr;
}

void ClaimPulse(SharedBoxRecord* record, int64_t writtenAt) {
  if (record == nullptr) return;
  record->ownerPid = GetCurrentProcessId();
  record->ownerStart = ThisProcessStart();
  record->writtenAt = writtenAt;
}

void ClearPulse(SharedBoxRecord* record) {
  if (record == nullptr) return;
  record->ownerPid = 0;
  record->ownerStart = 0;
  record->writtenAt = 0;
}

PulseOwner OwnerOf(const SharedBoxRecord* record) {
  if (record == nullptr) return PulseOwner::kUnknown;
  if (record->ownerPid == 0) return PulseOwner::kNone;
  if (record->ownerPid == GetCurrentProcessId()) {
    // An earlier process that had this id left it.
    return record->ownerStart == ThisProcessStart() ? PulseOwner::kThisProcess
                                                    : PulseOwner::kGoneProcess;
  }
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, record->ownerPid);
  if (process == nullptr) {
    // Only "no such process" tells that it is gone; one this process may not look at (access
    // denied), or that cannot be opened for any other reason, counts as alive.
    return GetLastError() == ERROR_INVALID_PARAMETER ? PulseOwner::kGoneProcess
                                                     : PulseOwner::kOtherProcess;
  }
  DWORD code = 0;
  bool alive = GetExitCodeProcess(process, &code) && code == kStillActive &&
               CreationTime(process) == record->ownerStart;
  CloseHandle(process);
  return alive ? PulseOwner::kOtherProcess : PulseOwner::kGoneProcess;
}

// Named mutexes and shared pulse records, one per box, made at first use and kept until
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

// Every program of the logon session may take the boxes' objects, whoever made them: an
// object made by an elevated program (a service tool run as administrator) would otherwise
// refuse the others, at any integrity level, and leave them unguarded.
const char kObjectSecurity[] = "D:(A;;GA;;;WD)S:(ML;;NW;;;LW)";

struct BoxObjects {
  HANDLE mutex[2][kBoxes];
  HANDLE mapping[kBoxes];
  SharedPulse* pulse[kBoxes];
  uint64_t processStart;          // this process's creation time, once read
  PSECURITY_DESCRIPTOR security;  // from kObjectSecurity, made once
  bool securityTried;
};

BoxObjects gBoxes;

// "<prefix>port.3" or "<prefix>bridge.3", then the suffix.
void FormName(char (&name)[96], BoxKind kind, uint8_t index, const char* suffix) {
  char box[16] = {};
  DWORD at = 0;
  for (const char* p = kind == BoxKind::kPort ? "port." : "bridge."; *p != '\0'; ++p) {
    box[at++] = *p;
  }
  box[at++] = static_cast<char>('0' + index);
  for (const char* p = suffix; *p != '\0' && at + 1 < sizeof box; ++p) box[at++] = *p;
  FormObjectName(name, box);
}

// The attributes the objects are made with (null, the defaults, when the descriptor could
// not be made).
LPSECURITY_ATTRIBUTES ObjectAttributes(SECURITY_ATTRIBUTES* attributes) {
  if (!gBoxes.securityTried) {
    gBoxes.securityTried = true;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(kObjectSecurity, SDDL_REVISION_1,
                                                         &gBoxes.security, nullptr);
  }
  if (gBoxes.security == nullptr) return nullptr;
  *attributes = SECURITY_ATTRIBUTES{sizeof *attributes, gBoxes.security, FALSE};
  return attributes;
}

HANDLE MutexOf(BoxKind kind, uint8_t index) {
  HANDLE& mutex = gBoxes.mutex[kind == BoxKind::kPort][index];
  if (mutex == nullptr) {
    char name[96];
    FormName(name, kind, index, "");
    SECURITY_ATTRIBUTES attributes;
    mutex = CreateMutexA(ObjectAttributes(&attributes), FALSE, name);
    if (mutex == nullptr) {
      TraceEvent("wait", "%s %u: its mutex cannot be had; the box is used without turns",
                 kind == BoxKind::kPort ? "port" : "bridge", index);
    }
  }
  return mutex;
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

BoxTake TakeBox(BoxKind kind, uint8_t index, DWORD waitMs) {
  if (index >= kBoxes) return BoxTake::kTaken;
  TraceBox(kind, index);
  HANDLE mutex = MutexOf(kind, index);
  if (mutex == nullptr) return BoxTake::kTaken;
  DWORD result = WaitForSingleObject(mutex, 0);
  if (result == WAIT_TIMEOUT && waitMs > 0) {
    // Held by another caller: wait for it, and say how long.
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    result = WaitForSingleObject(mutex, waitMs);
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    TraceEvent("wait", "%s %u was held by another caller; waited %.1f ms, %s",
               kind == BoxKind::kPort ? "port" : "bridge", index,
               static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                   static_cast<double>(frequency.QuadPart),
               result == WAIT_TIMEOUT ? "gave up" : "then took it");
  }
  switch (result) {
    case WAIT_OBJECT_0:
      return BoxTake::kTaken;
    case WAIT_ABANDONED:
      return BoxTake::kAbandoned;
    case WAIT_TIMEOUT:
      return BoxTake::kBusy;
    default:
      return BoxTake::kTaken;  // not held: GiveBox's release then fails harmlessly
  }
}

void GiveBox(BoxKind kind, uint8_t index) {
  if (index >= kBoxes) return;
  HANDLE mutex = gBoxes.mutex[kind == BoxKind::kPort][index];
  if (mutex != nullptr) ReleaseMutex(mutex);
}

void CloseBoxes() {
  for (uint8_t i = 0; i < kBoxes; ++i) {
    for (HANDLE* kinds : gBoxes.mutex) {
      if (kinds[i] != nullptr) CloseHandle(kinds[i]);
      kinds[i] = nullptr;
    }
    if (gBoxes.pulse[i] != nullptr) UnmapViewOfFile(gBoxes.pulse[i]);
    if (gBoxes.mapping[i] != nullptr) CloseHandle(gBoxes.mapping[i]);
    gBoxes.pulse[i] = nullptr;
    gBoxes.mapping[i] = nullptr;
  }
  if (gBoxes.security != nullptr) LocalFree(gBoxes.security);
  gBoxes.security = nullptr;
  gBoxes.securityTried = false;
}

SharedPulse* PortSharedPulse(uint8_t index) {
  if (index >= kBoxes) return nullptr;
  if (gBoxes.pulse[index] == nullptr) {
    char name[96];
    FormName(name, BoxKind::kPort, index, ".pulse");
    // Memory backed by the paging file starts zeroed: no pulse running.
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(SharedPulse), name);
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedPulse));
    if (view == nullptr) {
      CloseHandle(mapping);
      return nullptr;
    }
    gBoxes.mapping[index] = mapping;
    gBoxes.pulse[index] = static_cast<SharedPulse*>(view);
  }
  return gBoxes.pulse[index];
}

void ClaimPulse(SharedPulse* pulse, int64_t writtenAt) {
  if (pulse == nullptr) return;
  pulse->ownerPid = GetCurrentProcessId();
  pulse->ownerStart = ThisProcessStart();
  pulse->writtenAt = writtenAt;
}

void ClearPulse(SharedPulse* pulse) {
  if (pulse != nullptr) *pulse = SharedPulse{};
}

PulseOwner OwnerOf(const SharedPulse* pulse) {
  if (pulse == nullptr || pulse->ownerPid == 0) return PulseOwner::kNone;
  if (pulse->ownerPid == GetCurrentProcessId()) return PulseOwner::kThisProcess;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pulse->ownerPid);
  if (process == nullptr) return PulseOwner::kGoneProcess;
  DWORD code = 0;
  bool alive = GetExitCodeProcess(process, &code) && code == kStillActive &&
               CreationTime(process) == pulse->ownerStart;
  CloseHandle(process);
  return alive ? PulseOwner::kOtherProcess : PulseOwner::kGoneProcess;
}

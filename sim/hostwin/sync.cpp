// Synchronisation between processes and threads: named mutexes, shared memory, process
// identities, and critical sections (one real thread runs everything here).
#include <string.h>

#include "state.h"

using namespace hostwin;

namespace {

const HANDLE kThisProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
constexpr uint64_t kThisProcessCreation = 0x01D9000000000001ull;
constexpr uintptr_t kProcessHandleBase = 0x60000000;

HANDLE NewSyncHandle(const std::string& name) {
  uintptr_t value = S().nextSyncHandle++;
  S().syncHandles[value] = name;
  return reinterpret_cast<HANDLE>(value);
}

const std::string* NameOf(HANDLE handle) {
  auto it = S().syncHandles.find(reinterpret_cast<uintptr_t>(handle));
  return it == S().syncHandles.end() ? nullptr : &it->second;
}

void ToFileTime(uint64_t value, FILETIME* out) {
  out->dwLowDateTime = static_cast<DWORD>(value);
  out->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

}  // namespace

namespace hostwin {

void AddProcess(uint32_t pid, uint64_t creationTime) { S().processes[pid] = creationTime; }
void EndProcess(uint32_t pid) { S().processes.erase(pid); }

void HoldMutex(const std::string& name, uint32_t forMs) {
  State::Mutex& m = S().mutexes[name];
  m.ownerThread = kOtherProgram;
  m.recursion = 1;
  m.otherUntilUs = forMs == 0 ? 0 : S().nowUs + 1000 * static_cast<uint64_t>(forMs);
}

void AbandonMutex(const std::string& name) {
  State::Mutex& m = S().mutexes[name];
  m = State::Mutex{};
  m.abandoned = true;
}

bool MutexHeld(const std::string& name) {
  auto it = S().mutexes.find(name);
  return it != S().mutexes.end() && it->second.ownerThread != 0;
}

std::vector<std::string> MutexNames() {
  std::vector<std::string> names;
  for (const auto& entry : S().mutexes) names.push_back(entry.first);
  return names;
}

uint8_t* SharedMemory(const std::string& name) {
  auto it = S().sharedMemory.find(name);
  return it == S().sharedMemory.end() ? nullptr : it->second.data();
}

void SetThread(uint32_t threadId) { S().thread = threadId; }
bool LibraryPinned() { return S().libraryPinned; }

bool CloseSyncHandle(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value >= kProcessHandleBase && value < kProcessHandleBase + 0x10000) return true;
  return S().syncHandles.erase(value) == 1;
}

}  // namespace hostwin

extern "C" {

void InitializeCriticalSection(LPCRITICAL_SECTION section) { *section = CRITICAL_SECTION{}; }
void DeleteCriticalSection(LPCRITICAL_SECTION) {}
void EnterCriticalSection(LPCRITICAL_SECTION section) { ++section->recursion; }
void LeaveCriticalSection(LPCRITICAL_SECTION section) { --section->recursion; }

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR, DWORD,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          ULONG* size) {
  static char token;
  *descriptor = &token;
  if (size != nullptr) *size = 1;
  return TRUE;
}

void* LocalFree(void*) { return nullptr; }

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  State::Mutex& m = S().mutexes[name];
  if (initialOwner && m.ownerThread == 0) {
    m.ownerThread = S().thread;
    m.recursion = 1;
  }
  return NewSyncHandle(name);
}

BOOL ReleaseMutex(HANDLE mutex) {
  const std::string* name = NameOf(mutex);
  if (name == nullptr) return FALSE;
  State::Mutex& m = S().mutexes[*name];
  if (m.ownerThread != S().thread || m.recursion == 0) return FALSE;
  if (--m.recursion == 0) m.ownerThread = 0;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD ms) {
  const std::string* name = NameOf(object);
  if (name == nullptr) return WAIT_FAILED;
  State::Mutex& m = S().mutexes[*name];
  if (m.ownerThread == S().thread) {
    ++m.recursion;
    return WAIT_OBJECT_0;
  }
  if (m.ownerThread != 0) {
    uint64_t waitEnd = ms == INFINITE ? UINT64_MAX : S().nowUs + 1000 * static_cast<uint64_t>(ms);
    if (m.otherUntilUs == 0 || m.otherUntilUs > waitEnd) {
      if (ms != INFINITE) S().nowUs = waitEnd;
      return WAIT_TIMEOUT;
    }
    if (m.otherUntilUs > S().nowUs) S().nowUs = m.otherUntilUs;
  }
  DWORD result = m.abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  m = State::Mutex{};
  m.ownerThread = S().thread;
  m.recursion = 1;
  return result;
}

HANDLE CreateFileMappingA(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD sizeLow, LPCSTR name) {
  std::vector<uint8_t>& memory = S().sharedMemory[name];
  if (memory.size() < sizeLow) memory.resize(sizeLow, 0);
  return NewSyncHandle(name);
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD, DWORD, DWORD, size_t) {
  const std::string* name = NameOf(mapping);
  return name == nullptr ? nullptr : S().sharedMemory[*name].data();
}

BOOL UnmapViewOfFile(LPCVOID) { return TRUE; }

BOOL GetModuleHandleExA(DWORD flags, LPCSTR, HMODULE* module) {
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0) S().libraryPinned = true;
  *module = reinterpret_cast<HMODULE>(0x10000000);
  return TRUE;
}

HANDLE GetCurrentProcess(void) { return kThisProcess; }
DWORD GetCurrentProcessId(void) { return kProcessId; }
DWORD GetCurrentThreadId(void) { return S().thread; }

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  if (processId != kProcessId && S().processes.count(processId) == 0) return nullptr;
  return reinterpret_cast<HANDLE>(kProcessHandleBase + processId % 0x10000);
}

BOOL GetExitCodeProcess(HANDLE, LPDWORD code) {
  *code = STILL_ACTIVE;  // only live processes can be opened here
  return TRUE;
}

BOOL GetProcessTimes(HANDLE process, FILETIME* created, FILETIME* exited, FILETIME* kernel,
                     FILETIME* user) {
  uint64_t creation = kThisProcessCreation;
  if (process != kThisProcess) {
    uint32_t pid = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(process) - kProcessHandleBase);
    auto it = S().processes.find(pid);
    if (it != S().processes.end()) creation = it->second;
  }
  ToFileTime(creation, created);
  ToFileTime(0, exited);
  ToFileTime(0, kernel);
  ToFileTime(0, user);
  return TRUE;
}

}  // extern "C"

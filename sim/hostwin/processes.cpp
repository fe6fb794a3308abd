// Process identities and this process's token, and the pin of the library's module.
#include "state.h"

using namespace hostwin;

namespace {

const HANDLE kThisProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
constexpr uint64_t kThisProcessCreation = 0x01D9000000000001ull;

void ToFileTime(uint64_t value, FILETIME* out) {
  out->dwLowDateTime = static_cast<DWORD>(value);
  out->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// The pid behind a process handle (the pseudo handle included); false for none.
bool PidOf(HANDLE process, uint32_t* pid) {
  if (process == kThisProcess) {
    *pid = kProcessId;
    return true;
  }
  auto it = S().processHandles.find(reinterpret_cast<uintptr_t>(process));
  if (it == S().processHandles.end()) {
    SetError(ERROR_INVALID_HANDLE);
    return false;
  }
  *pid = it->second;
  return true;
}

HANDLE NewProcessHandle(uint32_t pid) {
  uintptr_t value = S().nextProcessHandle++;
  S().processHandles[value] = pid;
  return reinterpret_cast<HANDLE>(value);
}

}  // namespace

namespace hostwin {

void AddProcess(uint32_t pid, uint64_t creationTime) {
  S().processes[pid] = State::Process{creationTime, true, true};
}

void AddProcessDenyingOpen(uint32_t pid, uint64_t creationTime) {
  S().processes[pid] = State::Process{creationTime, false, true};
}

// The record stays for the handles still open to it; OpenProcess no longer finds it (the
// stand-in ends a process's object with the process).
void EndProcess(uint32_t pid) {
  auto it = S().processes.find(pid);
  if (it != S().processes.end()) it->second.alive = false;
}

void SetElevated(bool elevated) { S().elevated = elevated; }
void SetUserAccountControl(bool on) { S().splitToken = on; }
bool LibraryPinned() { return S().libraryPinned; }

bool CloseSyncHandle(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  return S().syncHandles.erase(value) == 1 || S().processHandles.erase(value) == 1 ||
         S().tokenHandles.erase(value) == 1;
}

}  // namespace hostwin

extern "C" {

BOOL GetModuleHandleExA(DWORD flags, LPCSTR, HMODULE* module) {
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0) S().libraryPinned = true;
  *module = reinterpret_cast<HMODULE>(0x10000000);
  return TRUE;
}

HANDLE GetCurrentProcess(void) { return kThisProcess; }
DWORD GetCurrentProcessId(void) { return kProcessId; }

// No such process: ERROR_INVALID_PARAMETER; one that exists but refuses: ERROR_ACCESS_DENIED.
HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  COUNT_CALL("OpenProcess");
  if (processId == kProcessId) return NewProcessHandle(processId);
  auto it = S().processes.find(processId);
  if (it == S().processes.end() || !it->second.alive) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!it->second.opens) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return NewProcessHandle(processId);
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD code) {
  uint32_t pid = 0;
  if (!PidOf(process, &pid)) return FALSE;
  auto it = S().processes.find(pid);
  *code = pid == kProcessId || (it != S().processes.end() && it->second.alive) ? STILL_ACTIVE : 0;
  return TRUE;
}

BOOL GetProcessTimes(HANDLE process, FILETIME* created, FILETIME* exited, FILETIME* kernel,
                     FILETIME* user) {
  uint32_t pid = 0;
  if (!PidOf(process, &pid)) return FALSE;
  uint64_t creation = kThisProcessCreation;
  auto it = S().processes.find(pid);
  if (pid != kProcessId && it != S().processes.end()) creation = it->second.creationTime;
  ToFileTime(creation, created);
  ToFileTime(0, exited);
  ToFileTime(0, kernel);
  ToFileTime(0, user);
  return TRUE;
}

// Only this process's own token can be opened in the stand-in.
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  COUNT_CALL("OpenProcessToken");
  uint32_t pid = 0;
  if (!PidOf(process, &pid)) return FALSE;
  if (pid != kProcessId || token == nullptr) {
    SetError(pid != kProcessId ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Every right is granted on the process's own token; the handle keeps those asked.
  uintptr_t value = S().nextProcessHandle++;
  S().tokenHandles[value] = access;
  *token = reinterpret_cast<HANDLE>(value);
  return TRUE;
}

// Only TokenElevation and TokenElevationType are answered; other classes fail with
// ERROR_INVALID_PARAMETER. Without user account control the user has one token, of the
// default type, elevated when the user is an administrator (SetElevated).
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                         DWORD length, PDWORD returned) {
  auto it = S().tokenHandles.find(reinterpret_cast<uintptr_t>(token));
  if (it == S().tokenHandles.end()) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((it->second & TOKEN_QUERY) == 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD size = informationClass == TokenElevation       ? sizeof(TOKEN_ELEVATION)
               : informationClass == TokenElevationType ? sizeof(TOKEN_ELEVATION_TYPE)
                                                        : 0;
  if (size == 0 || returned == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *returned = size;
  if (information == nullptr || length < size) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (informationClass == TokenElevation) {
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = S().elevated ? 1 : 0;
  } else {
    *static_cast<TOKEN_ELEVATION_TYPE*>(information) = !S().splitToken ? TokenElevationTypeDefault
                                                       : S().elevated  ? TokenElevationTypeFull
                                                                       : TokenElevationTypeLimited;
  }
  return TRUE;
}

}  // extern "C"

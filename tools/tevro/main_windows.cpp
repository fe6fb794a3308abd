// tevro.exe on Windows: binds the portable core to the console, to the TEVRO.DLL in the
// folder of the program, loaded at run time and resolved by its decorated export names, so
// that any build of the library serves, and to the registry value and the file of the
// library's field trace.
#include <windows.h>

#include <stdio.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/elevation.h"
#include "tool.h"

namespace {

std::atomic<bool> gInterrupted{false};
HANDLE gFinished = nullptr;  // set once the command has closed its box

// How long a closing console window waits for the command to close its box (the system
// ends the process after about 5 s).
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  gInterrupted = true;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this returns: give the command time to close the box.
    if (gFinished != nullptr) WaitForSingleObject(gFinished, kCloseGraceMs);
  }
  return TRUE;
}

void Write(FILE* stream, const std::string& text) {
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}

// The folder of this program, with its trailing backslash; "" when it cannot be told.
std::string ProgramFolder() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      std::string full(path.data(), length);
      size_t slash = full.find_last_of("\\/");
      return slash == std::string::npos ? "" : full.substr(0, slash + 1);
    }
    path.resize(path.size() * 2);
  }
}

HMODULE gLibrary = nullptr;

bool LoadLibraryBesideProgram(tevro_tool::TevroApi* api, std::string* why) {
  const std::string path = ProgramFolder() + "TEVRO.DLL";
  gLibrary = LoadLibraryA(path.c_str());
  if (gLibrary == nullptr) {
    *why = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return tevro_tool::BindApiOrExplain(
      [](const char* name) { return reinterpret_cast<void*>(GetProcAddress(gLibrary, name)); },
      path, api, why);
}

// Dispatches the thread's messages for ms milliseconds: the library's drawer-pulse timer
// runs from here. Returns early on Ctrl+C.
void PumpMessages(uint32_t ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (gInterrupted || GetTickCount64() >= end) return;
    Sleep(1);
  }
}

// --- the trace's setting and file -----------------------------------------------------

using tevro_tool::HostStatus;
using tevro_tool::TraceScope;

const char kTraceKey[] = "Software\\TEVRO";
const char kTraceValue[] = "TraceFile";

HKEY RootOf(TraceScope scope) {
  return scope == TraceScope::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}
// The views the library reads: the machine-wide value in the 64-bit view for both builds.
REGSAM ViewOf(TraceScope scope) { return scope == TraceScope::kMachine ? KEY_WOW64_64KEY : 0; }

std::string ErrorText(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_PATH_NOT_FOUND:
      return "the folder does not exist";
    default:
      return "Windows error " + std::to_string(code);
  }
}

HostStatus StatusOf(LONG code, std::string* error) {
  if (code == ERROR_SUCCESS) return HostStatus::kOk;
  if (code == ERROR_FILE_NOT_FOUND) return HostStatus::kAbsent;
  *error = ErrorText(static_cast<DWORD>(code));
  return code == ERROR_ACCESS_DENIED ? HostStatus::kDenied : HostStatus::kFailed;
}

// As the library reads it: a REG_SZ that is not empty, or no value.
HostStatus ReadTraceValue(TraceScope scope, std::string* value, std::string* error) {
  HKEY key = nullptr;
  HostStatus status = StatusOf(
      RegOpenKeyExA(RootOf(scope), kTraceKey, 0, KEY_QUERY_VALUE | ViewOf(scope), &key), error);
  if (status != HostStatus::kOk) return status;
  char text[MAX_PATH];
  DWORD type = 0;
  DWORD size = sizeof text - 1;
  LONG code =
      RegQueryValueExA(key, kTraceValue, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (code == ERROR_MORE_DATA) {
    *error = "the value is longer than TEVRO.DLL takes";
    return HostStatus::kFailed;
  }
  status = StatusOf(code, error);
  if (status != HostStatus::kOk) return status;
  text[size] = '\0';
  if (type != REG_SZ || text[0] == '\0') return HostStatus::kAbsent;
  *value = text;
  return HostStatus::kOk;
}

// Windows lets a 32-bit program without a manifest "write" where it may not: the write lands
// in a per-user copy of HKEY_LOCAL_MACHINE\Software that no other program reads (registry
// virtualization). Turned off for this process; true when it stays on.
bool RegistryVirtualized() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, &token)) {
    return false;
  }
  DWORD enabled = 0;
  DWORD size = 0;
  bool on =
      GetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled, &size) &&
      enabled != 0;
  DWORD off = 0;
  if (on && SetTokenInformation(token, TokenVirtualizationEnabled, &off, sizeof off)) on = false;
  CloseHandle(token);
  return on;
}

HostStatus Virtualized(std::string* error) {
  *error = "registry virtualization would keep it for this user alone";
  return HostStatus::kDenied;
}

HostStatus WriteTraceValue(TraceScope scope, const std::string& value, std::string* error) {
  if (scope == TraceScope::kMachine && RegistryVirtualized()) return Virtualized(error);
  HKEY key = nullptr;
  HostStatus status =
      StatusOf(RegCreateKeyExA(RootOf(scope), kTraceKey, 0, nullptr, 0,
                               KEY_SET_VALUE | ViewOf(scope), nullptr, &key, nullptr),
               error);
  if (status != HostStatus::kOk) return status;
  status = StatusOf(
      RegSetValueExA(key, kTraceValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1)),
      error);
  RegCloseKey(key);
  return status;
}

HostStatus RemoveTraceValue(TraceScope scope, std::string* error) {
  if (scope == TraceScope::kMachine && RegistryVirtualized()) return Virtualized(error);
  HKEY key = nullptr;
  HostStatus status = StatusOf(
      RegOpenKeyExA(RootOf(scope), kTraceKey, 0, KEY_SET_VALUE | ViewOf(scope), &key), error);
  if (status != HostStatus::kOk) return status;
  status = StatusOf(RegDeleteValueA(key, kTraceValue), error);
  RegCloseKey(key);
  return status;
}

bool FullPath(const std::string& name, std::string* full, std::string* error) {
  char path[MAX_PATH * 2];
  DWORD length = GetFullPathNameA(name.c_str(), sizeof path, path, nullptr);
  if (length == 0 || length >= sizeof path) {
    *error = length == 0 ? ErrorText(GetLastError()) : "too long";
    return false;
  }
  *full = std::string(path, length);
  return true;
}

bool TraceFolder(TraceScope scope, std::string* folder, std::string* error) {
  const char* variable = scope == TraceScope::kUser ? "LOCALAPPDATA" : "ProgramData";
  char base[MAX_PATH];
  DWORD length = GetEnvironmentVariableA(variable, base, sizeof base);
  if (length == 0 || length >= sizeof base) {
    *error = std::string("%") + variable + "% is not set";
    return false;
  }
  *folder = std::string(base, length) + "\\TEVRO";
  if (!CreateDirectoryA(folder->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = "cannot create " + *folder + " (" + ErrorText(GetLastError()) + ")";
    return false;
  }
  return true;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool TouchFile(const std::string& path, std::string* error) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText(GetLastError());
    return false;
  }
  CloseHandle(file);
  return true;
}

HostStatus ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return HostStatus::kAbsent;
    *error = ErrorText(code);
    return code == ERROR_ACCESS_DENIED ? HostStatus::kDenied : HostStatus::kFailed;
  }
  text->clear();
  char chunk[65536];
  DWORD got = 0;
  BOOL ok = TRUE;
  while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got > 0) {
    text->append(chunk, got);
  }
  DWORD code = GetLastError();
  CloseHandle(file);
  if (!ok) {
    *error = ErrorText(code);
    return HostStatus::kFailed;
  }
  return HostStatus::kOk;
}

bool TraceEnvironment(std::string* value) {
  char text[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("TEVRO_TRACE", text, sizeof text);
  if (length == 0 || length >= sizeof text) return false;
  value->assign(text, length);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  gFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

  tevro_tool::ToolHost host;
  host.loadLibrary = LoadLibraryBesideProgram;
  host.out = [](const std::string& text) { Write(stdout, text); };
  host.err = [](const std::string& text) { Write(stderr, text); };
  host.nowMs = [] { return static_cast<uint64_t>(GetTickCount64()); };
  host.pumpMessages = PumpMessages;
  host.interrupted = &gInterrupted;
  host.readTraceValue = ReadTraceValue;
  host.writeTraceValue = WriteTraceValue;
  host.removeTraceValue = RemoveTraceValue;
  host.fullPath = FullPath;
  host.traceFolder = TraceFolder;
  host.touchFile = TouchFile;
  host.readFile = ReadWholeFile;
  host.runsElevated = RunsElevatedByUac;
  host.traceEnvironment = TraceEnvironment;

  std::vector<std::string> args(argv + 1, argv + argc);
  int code = tevro_tool::RunTool(args, host);
  if (gLibrary != nullptr) FreeLibrary(gLibrary);
  if (gFinished != nullptr) SetEvent(gFinished);
  return code;
}

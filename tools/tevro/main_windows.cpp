// tevro.exe on Windows: binds the portable core to the console and to the TEVRO.DLL in
// the folder of the program, loaded at run time and resolved by its decorated export
// names, so that any build of the library serves.
#include <windows.h>

#include <stdio.h>

#include <atomic>
#include <string>
#include <vector>

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

  std::vector<std::string> args(argv + 1, argv + argc);
  int code = tevro_tool::RunTool(args, host);
  if (gLibrary != nullptr) FreeLibrary(gLibrary);
  if (gFinished != nullptr) SetEvent(gFinished);
  return code;
}

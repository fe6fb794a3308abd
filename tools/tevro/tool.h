// tevro.exe, the service tool: the portable core. It knows nothing of the platform; the
// caller hands it the library's functions, where to write, a clock, a message pump and an
// interrupt flag. The Windows entry (main_windows.cpp) binds them to TEVRO.DLL and the
// console; the host tests bind them to the library built for Linux and a virtual clock.
#ifndef TOOLS_TEVRO_TOOL_H
#define TOOLS_TEVRO_TOOL_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tevro_api.h"

namespace tevro_tool {

enum ExitCode {
  kExitOk = 0,      // the command did what was asked
  kExitFailed = 1,  // the library or a box could not be reached, or an operation failed
  kExitUsage = 2,   // bad command line; no box was touched
};

// The 26 functions of the library, as the header types them (tools/common/tevro_api.h).
using ::TevroApi;

// Fills every slot of *api from lookup(export name), the names being the library's
// decorated export names ("@KasseOpen$qv", ...). True when all 26 were found; otherwise
// *missing lists the names lookup did not find, and the slots of those are null.
bool BindApi(const std::function<void*(const char* exportName)>& lookup, TevroApi* api,
             std::vector<std::string>* missing);

// BindApi with the failure told in one line for the user: "<library> lacks the exports
// @A, @B" in *why.
bool BindApiOrExplain(const std::function<void*(const char* exportName)>& lookup,
                      const std::string& libraryName, TevroApi* api, std::string* why);

// The decorated export names in ordinal order (ordinal = index + 1).
const std::vector<std::string>& ExportNames();

// Whose TraceFile value: the current user's (HKEY_CURRENT_USER\Software\TEVRO) or the
// machine-wide one (HKEY_LOCAL_MACHINE\Software\TEVRO in its 64-bit view, which the x86
// and the x64 library both read).
enum class TraceScope { kUser, kMachine };

// How a registry or file operation of the host went.
enum class HostStatus {
  kOk,
  kAbsent,  // no such value, key or file
  kDenied,  // the system refused access (the machine-wide value needs an administrator)
  kFailed,  // another error, told in the host's message
};

struct ToolHost {
  // Loads the library and fills *api. False, with a one-line reason in *error, when it
  // cannot. Called at most once, and only after the command line has been accepted: the
  // library counts the boxes when it is loaded.
  std::function<bool(TevroApi* api, std::string* error)> loadLibrary;
  std::function<void(const std::string& text)> out;  // standard output
  std::function<void(const std::string& text)> err;  // standard error
  // Monotonic milliseconds.
  std::function<uint64_t()> nowMs;
  // Dispatches the calling thread's messages (the library's drawer-pulse timer) for ms
  // milliseconds; may return early once interrupted is set.
  std::function<void(uint32_t ms)> pumpMessages;
  // Set (from any thread) to stop the running command; the box is closed all the same.
  const std::atomic<bool>* interrupted;

  // The trace commands. None of them loads the library. On failure *error holds a short
  // reason ("access denied", "Windows error 3").
  // The TraceFile value of 'scope': kAbsent when it or its key is missing or it is empty.
  std::function<HostStatus(TraceScope scope, std::string* value, std::string* error)>
      readTraceValue;
  // Sets it (a REG_SZ), creating the key when missing.
  std::function<HostStatus(TraceScope scope, const std::string& value, std::string* error)>
      writeTraceValue;
  // Removes it; kAbsent when there was none.
  std::function<HostStatus(TraceScope scope, std::string* error)> removeTraceValue;
  // The full path of a file name as typed (relative names: to the current folder).
  std::function<bool(const std::string& name, std::string* full, std::string* error)> fullPath;
  // The folder a trace file goes to when none is named, created when missing:
  // %LOCALAPPDATA%\TEVRO for the user, %ProgramData%\TEVRO for the machine.
  std::function<bool(TraceScope scope, std::string* folder, std::string* error)> traceFolder;
  // Opens the file for appending as the library does, creating it when missing, and closes
  // it: false when it cannot be written.
  std::function<bool(const std::string& path, std::string* error)> touchFile;
  // True when this program runs with user account control's full token (elevated): the
  // library then takes the trace switch only from the machine-wide value.
  std::function<bool()> runsElevated;
  // TEVRO_TRACE of this program's environment, which the library it loads takes before the
  // registry unless it runs elevated: false when it is unset, empty, or longer than the
  // library takes (MAX_PATH characters with the terminating zero).
  std::function<bool(std::string* value)> traceEnvironment;
  // The whole file; kAbsent when it does not exist.
  std::function<HostStatus(const std::string& path, std::string* text, std::string* error)>
      readFile;
};

// Runs one command line (args without the program name). Returns an ExitCode.
int RunTool(const std::vector<std::string>& args, const ToolHost& host);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_TOOL_H

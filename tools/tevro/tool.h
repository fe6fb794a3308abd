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
};

// Runs one command line (args without the program name). Returns an ExitCode.
int RunTool(const std::vector<std::string>& args, const ToolHost& host);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_TOOL_H

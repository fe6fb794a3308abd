// The trace command: the TraceFile value that switches TEVRO.DLL's field trace on for the
// current user or for the whole machine, and the last lines of the file it names. The
// library looks the value up at its first call and every 5 s after, the user's first; the
// tool never loads the library for this.
#ifndef TOOLS_TEVRO_TRACE_SETTING_H
#define TOOLS_TEVRO_TRACE_SETTING_H

#include <string>

#include "command_line.h"
#include "tool.h"

namespace tevro_tool {

// The file name 'trace on' uses in the host's trace folder when no FILE is given.
constexpr const char kDefaultTraceFileName[] = "tevro-trace.log";

// The longest path the library takes from the registry (its buffer holds MAX_PATH bytes
// with the terminating zero, less one).
constexpr size_t kLongestTracePath = 258;

// The value in force for the current user's programs: the user's, else the machine's.
struct TraceInForce {
  HostStatus status = HostStatus::kAbsent;  // kOk: on; kAbsent: off; otherwise unreadable
  TraceScope scope = TraceScope::kUser;
  std::string path;
  std::string error;
};
TraceInForce FindTraceInForce(const ToolHost& host);

// "the current user's value", "the machine-wide value".
const char* ScopeTitle(TraceScope scope);

int RunTrace(const ToolHost& host, const CommandLine& line);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_TRACE_SETTING_H

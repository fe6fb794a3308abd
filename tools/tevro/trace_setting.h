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

// Where the library's field trace goes, and whose setting says so.
struct TraceInForce {
  HostStatus status = HostStatus::kAbsent;  // kOk: on; kAbsent: off; otherwise unreadable
  TraceScope scope = TraceScope::kUser;
  bool fromEnvironment = false;  // TEVRO_TRACE of this program, not a TraceFile value
  std::string path;
  std::string error;
  // The current user's value when there is one and the program does not take it, because
  // it runs elevated (passedOverElevated) or the value names no file on a disk.
  std::string userValuePassedOver;
  bool passedOverElevated = false;
};

// The TraceFile value the library takes in a program of the current user, by the library's
// own rule: an elevated program takes only the machine-wide value; another takes the user's
// value when it names a file on a disk, else the machine-wide one.
TraceInForce FindTraceInForce(const ToolHost& host, bool elevated);

// What the library this program loads takes: TEVRO_TRACE of its environment, unless the
// program runs elevated, before the TraceFile values (FindTraceInForce).
TraceInForce FindTraceOfThisProgram(const ToolHost& host);

// "the current user's value", "the machine-wide value".
const char* ScopeTitle(TraceScope scope);
// ScopeTitle of its scope, or "TEVRO_TRACE of this program's environment".
std::string SourceTitle(const TraceInForce& trace);

int RunTrace(const ToolHost& host, const CommandLine& line);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_TRACE_SETTING_H

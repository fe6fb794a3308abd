#include "trace_setting.h"

#include <deque>

#include "common/trace_path.h"

namespace tevro_tool {

namespace {

// "for the current user", "for every user of this machine".
const char* ScopeWho(TraceScope scope) {
  return scope == TraceScope::kUser ? "for the current user" : "for every user of this machine";
}

TraceScope Other(TraceScope scope) {
  return scope == TraceScope::kUser ? TraceScope::kMachine : TraceScope::kUser;
}

int Refused(const ToolHost& host, const char* what, const std::string& error) {
  host.err(std::string("tevro: the machine-wide trace setting could not be ") + what + " (" +
           error +
           "): changing it needs administrator rights; run tevro from a command prompt "
           "opened with 'Run as administrator'\n");
  return kExitFailed;
}

int Failed(const ToolHost& host, const std::string& what, const std::string& error) {
  host.err("tevro: " + what + ": " + error + "\n");
  return kExitFailed;
}

// After a change to one scope: the other scope's value, when it still traces.
void NoteOtherScope(const ToolHost& host, TraceScope changed) {
  std::string path;
  std::string error;
  if (host.readTraceValue(Other(changed), &path, &error) != HostStatus::kOk) return;
  if (changed == TraceScope::kMachine) {
    host.out("note: the current user's own value comes first for this user's programs: " + path +
             " ('tevro trace off' removes it)\n");
  } else {
    host.out("note: the machine-wide value still traces the programs of every user into " + path +
             " ('tevro trace off --machine' removes it)\n");
  }
}

// A path that names a device or a pipe: refused before anything opens it (the touch below
// would), as the library refuses it.
int RefusedPath(const ToolHost& host, const std::string& path, const char* problem) {
  host.err("tevro: " + path + " " + problem +
           "; TEVRO.DLL writes its trace only to a file on a disk\n");
  return kExitFailed;
}

int TraceOn(const ToolHost& host, const CommandLine& line) {
  const TraceScope scope = line.machine ? TraceScope::kMachine : TraceScope::kUser;
  std::string path;
  std::string error;
  if (line.traceFile.empty()) {
    std::string folder;
    if (!host.traceFolder(scope, &folder, &error)) {
      return Failed(host, "no folder for the trace file", error);
    }
    path = folder + "\\" + kDefaultTraceFileName;
  } else if (const char* problem = TracePathProblem(line.traceFile.c_str())) {
    return RefusedPath(host, line.traceFile, problem);
  } else if (!host.fullPath(line.traceFile, &path, &error)) {
    return Failed(host, "FILE '" + line.traceFile + "' has no full path", error);
  }
  if (const char* problem = TracePathProblem(path.c_str())) {
    return RefusedPath(host, path, problem);
  }
  if (path.size() > kLongestTracePath) {
    host.err("tevro: the trace file's path is " + std::to_string(path.size()) +
             " characters long; TEVRO.DLL takes at most " + std::to_string(kLongestTracePath) +
             "\n");
    return kExitFailed;
  }
  // The library appends to the file as the user of each traced program: a file that cannot
  // be written now would leave the trace on and empty.
  if (!host.touchFile(path, &error)) return Failed(host, "cannot write " + path, error);
  HostStatus status = host.writeTraceValue(scope, path, &error);
  if (status == HostStatus::kDenied) return Refused(host, "set", error);
  if (status != HostStatus::kOk) return Failed(host, "the trace setting could not be set", error);
  host.out(std::string("trace on ") + ScopeWho(scope) + ": " + path + "\n");
  host.out(
      "programs that use TEVRO.DLL append to it from their next call (running ones within 5 s)\n");
  if (scope == TraceScope::kMachine) NoteOtherScope(host, scope);
  if (scope == TraceScope::kUser) {
    host.out(std::string("note: programs that run elevated (as administrator)") +
             (host.runsElevated() ? ", this one among them," : "") +
             " take only the machine-wide value: for them, 'tevro trace on --machine'\n");
  }
  return kExitOk;
}

int TraceOff(const ToolHost& host, const CommandLine& line) {
  const TraceScope scope = line.machine ? TraceScope::kMachine : TraceScope::kUser;
  std::string error;
  HostStatus status = host.removeTraceValue(scope, &error);
  if (status == HostStatus::kDenied) return Refused(host, "removed", error);
  if (status == HostStatus::kAbsent) {
    host.out(std::string("trace was already off ") + ScopeWho(scope) + "\n");
  } else if (status == HostStatus::kOk) {
    host.out(std::string("trace off ") + ScopeWho(scope) +
             "; programs that use TEVRO.DLL stop writing within 5 s\n");
  } else {
    return Failed(host, "the trace setting could not be removed", error);
  }
  NoteOtherScope(host, scope);
  return kExitOk;
}

// The lines of a trace file, without their line ends.
std::deque<std::string> SplitLines(const std::string& text) {
  std::deque<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t length = end - at;
    if (length > 0 && text[at + length - 1] == '\r') --length;
    lines.push_back(text.substr(at, length));
    at = end + 1;
  }
  return lines;
}

// "trace off: the current user's value is COM1, which names a device; ...".
int ShowUnusable(const ToolHost& host, TraceScope scope, const std::string& path) {
  host.out(std::string("trace off: ") + ScopeTitle(scope) + " is " + path + ", which " +
           TracePathProblem(path.c_str()) +
           "; TEVRO.DLL writes its trace only to a file on a disk\n");
  return kExitOk;
}

// Whose value the current user's programs take; those that run elevated are told apart in a
// note, as they take only the machine-wide value.
int TraceShow(const ToolHost& host, const CommandLine& line) {
  TraceInForce trace = FindTraceInForce(host, false);
  const std::string& passedOver = trace.userValuePassedOver;
  if (trace.status == HostStatus::kAbsent) {
    if (!passedOver.empty()) return ShowUnusable(host, TraceScope::kUser, passedOver);
    host.out("trace off (no TraceFile value for the current user or for the machine)\n");
    return kExitOk;
  }
  if (trace.status != HostStatus::kOk) {
    return Failed(host, "the trace setting could not be read", trace.error);
  }
  if (TracePathProblem(trace.path.c_str()) != nullptr) {
    return ShowUnusable(host, trace.scope, trace.path);
  }
  std::string text;
  std::string error;
  HostStatus status = host.readFile(trace.path, &text, &error);
  if (status != HostStatus::kOk && status != HostStatus::kAbsent) {
    return Failed(host, "cannot read " + trace.path, error);
  }
  host.out(std::string("trace on (") + ScopeTitle(trace.scope) + "): " + trace.path + "\n");
  if (!passedOver.empty()) {
    host.out("note: the current user's value, " + passedOver + ", " +
             TracePathProblem(passedOver.c_str()) + ": programs take the machine-wide value\n");
  }
  if (trace.scope == TraceScope::kUser) {
    host.out(std::string("note: not for programs that run elevated (as administrator)") +
             (host.runsElevated() ? ", this one among them" : "") +
             ": they take only the machine-wide value\n");
  }
  if (status == HostStatus::kAbsent) {
    host.out(
        "the file does not exist yet: no program has used TEVRO.DLL since the trace was "
        "switched on\n");
    return kExitOk;
  }
  std::deque<std::string> lines = SplitLines(text);
  // Just after the file was renamed at its size limit, the older lines are in "<file>.1".
  if (lines.size() < line.showLines) {
    std::string older;
    if (host.readFile(trace.path + ".1", &older, &error) == HostStatus::kOk) {
      std::deque<std::string> before = SplitLines(older);
      while (!before.empty() && lines.size() < line.showLines) {
        lines.push_front(before.back());
        before.pop_back();
      }
    }
  }
  while (lines.size() > line.showLines) lines.pop_front();
  if (lines.empty()) host.out("the file holds no lines yet\n");
  for (const std::string& shown : lines) host.out(shown + "\n");
  return kExitOk;
}

}  // namespace

const char* ScopeTitle(TraceScope scope) {
  return scope == TraceScope::kUser ? "the current user's value" : "the machine-wide value";
}

std::string SourceTitle(const TraceInForce& trace) {
  return trace.fromEnvironment ? "TEVRO_TRACE of this program's environment"
                               : ScopeTitle(trace.scope);
}

TraceInForce FindTraceInForce(const ToolHost& host, bool elevated) {
  TraceInForce trace;
  std::string user;
  const HostStatus userStatus = host.readTraceValue(TraceScope::kUser, &user, &trace.error);
  if (!elevated && userStatus != HostStatus::kAbsent &&
      (userStatus != HostStatus::kOk || TracePathProblem(user.c_str()) == nullptr)) {
    trace.status = userStatus;  // on, or unreadable
    trace.path = user;
    return trace;
  }
  if (userStatus == HostStatus::kOk) {
    trace.userValuePassedOver = user;
    trace.passedOverElevated = elevated;
  }
  trace.scope = TraceScope::kMachine;
  trace.error.clear();
  trace.status = host.readTraceValue(TraceScope::kMachine, &trace.path, &trace.error);
  return trace;
}

TraceInForce FindTraceOfThisProgram(const ToolHost& host) {
  const bool elevated = host.runsElevated();
  TraceInForce trace;
  if (!elevated && host.traceEnvironment(&trace.path)) {
    trace.status = HostStatus::kOk;
    trace.fromEnvironment = true;
    return trace;
  }
  return FindTraceInForce(host, elevated);
}

int RunTrace(const ToolHost& host, const CommandLine& line) {
  switch (line.traceAction) {
    case TraceAction::kOn:
      return TraceOn(host, line);
    case TraceAction::kOff:
      return TraceOff(host, line);
    case TraceAction::kShow:
      return TraceShow(host, line);
  }
  return kExitUsage;
}

}  // namespace tevro_tool

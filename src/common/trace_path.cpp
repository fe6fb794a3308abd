#include "common/trace_path.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool Separator(char c) { return c == '\\' || c == '/'; }

// True when 'text' begins with 'prefix', ignoring case and taking / for \.
bool StartsWith(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (Separator(*prefix) ? !Separator(*text) : Lower(*text) != *prefix) return false;
  }
  return true;
}

// The names the system gives its devices in every folder, with or without an extension:
// "C:\logs\com1.txt" is the serial port.
bool IsDeviceName(const char* begin, const char* end) {
  static const char* const kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  // The stem: up to the first dot, trailing spaces and a colon dropped.
  const char* stem = begin;
  while (stem != end && *stem != '.') ++stem;
  while (stem != begin && (stem[-1] == ' ' || stem[-1] == ':')) --stem;
  const long length = stem - begin;
  for (const char* name : kNames) {
    long i = 0;
    while (i < length && name[i] != '\0' && Lower(begin[i]) == name[i]) ++i;
    if (i == length && name[i] == '\0') return true;
  }
  if (length == 4 && begin[3] >= '0' && begin[3] <= '9') {
    return StartsWith(begin, "com") || StartsWith(begin, "lpt");
  }
  return false;
}

}  // namespace

const char* TracePathProblem(const char* path) {
  if (path == nullptr || *path == '\0') return "is empty";
  // \\.\ (and \??\) is the device namespace: pipes, ports, the boxes' drivers. \\?\ is a
  // file only in front of a drive or a share.
  if (StartsWith(path, "\\\\.\\") || StartsWith(path, "\\??\\")) {
    return StartsWith(path, "\\\\.\\pipe\\") ? "names a pipe" : "names a device";
  }
  const char* server = nullptr;  // of a path on another machine: \\server\share\...
  if (StartsWith(path, "\\\\?\\")) {
    const char* rest = path + 4;
    bool drive = rest[0] != '\0' && rest[1] == ':';
    if (!drive && !StartsWith(rest, "unc\\")) return "names a device";
    if (!drive) server = rest + 4;
  } else if (Separator(path[0]) && Separator(path[1])) {
    server = path + 2;
  }
  if (server != nullptr) {
    // \\server\pipe\name: another machine's pipe.
    const char* share = server;
    while (*share != '\0' && !Separator(*share)) ++share;
    if (*share != '\0' && StartsWith(share + 1, "pipe") &&
        (share[5] == '\0' || Separator(share[5]))) {
      return "names a pipe";
    }
  }
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (Separator(*p) || (*p == ':' && p == path + 1)) name = p + 1;
  }
  const char* end = name;
  while (*end != '\0') ++end;
  if (name == end) return "names a folder, not a file";
  if (IsDeviceName(name, end)) return "names a device";
  return nullptr;
}

#include "common/trace_file.h"

#include "common/library_objects.h"

namespace {

// How long an append waits for another process's append or rotation.
constexpr DWORD kTraceWaitMs = 2000;

struct TraceFile {
  HANDLE mutex;  // the trace's own named mutex, opened by PrepareTraceFile, closed at unload
  bool tried;    // PrepareTraceFile has tried to open it
};

TraceFile gTraceFile;

HANDLE OpenForAppend(const char* path) {
  HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // Only a file on a disk takes the lines; a name that turned out to be a device or a pipe
  // gets nothing.
  if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Renames the full file to "<path>.1", replacing an older one. False when it could not
// (another program holds one of the two without sharing deletion).
bool Rotate(const char* path) {
  char older[MAX_PATH + 2];
  DWORD at = 0;
  for (; path[at] != '\0' && at < MAX_PATH; ++at) older[at] = path[at];
  older[at++] = '.';
  older[at++] = '1';
  older[at] = '\0';
  return MoveFileExA(path, older, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// The file opened for the append, with room for 'length' more bytes: renamed and begun
// afresh when it has none. INVALID_HANDLE_VALUE when it cannot be opened, or is full and
// cannot be renamed: then nothing is written, so the file never grows past the limit.
HANDLE OpenWithRoom(const char* path, DWORD length) {
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return file;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart == 0 ||
      size.QuadPart + length <= kTraceFileLimit) {
    return file;
  }
  CloseHandle(file);
  return Rotate(path) ? OpenForAppend(path) : INVALID_HANDLE_VALUE;
}

}  // namespace

void PrepareTraceFile() {
  if (gTraceFile.tried) return;
  gTraceFile.tried = true;
  // The machine's, or the session's standing in; a squatter's is not waited for (the lines
  // are then appended without a mutex rather than held up by it).
  const LibraryMutexes m = OpenLibraryMutexes("trace");
  gTraceFile.mutex = m.machine;
  if (m.machine == nullptr && m.machineUnreachable)
    gTraceFile.mutex = m.session;
  else if (m.session != nullptr)
    CloseHandle(m.session);
}

// Every append, its size check and a rotation happen under one named mutex of the trace's
// own: processes never rotate at once, and appends of several processes never mix, also
// where the file system does not make an append whole by itself. (Where the mutex cannot
// be had the lines are appended without it: a line of two processes may then tear.)
bool AppendTraceFile(const char* path, const char* text, DWORD length) {
  HANDLE mutex = gTraceFile.mutex;
  DWORD waited = mutex != nullptr ? WaitForSingleObject(mutex, kTraceWaitMs) : WAIT_OBJECT_0;
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return false;
  HANDLE file = OpenWithRoom(path, length);
  bool ok = false;
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ok = WriteFile(file, text, length, &written, nullptr) && written == length;
    CloseHandle(file);
  }
  if (mutex != nullptr) ReleaseMutex(mutex);
  return ok;
}

void CloseTraceFile() {
  if (gTraceFile.mutex != nullptr) CloseHandle(gTraceFile.mutex);
  gTraceFile = TraceFile{};
}

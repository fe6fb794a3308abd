#include "common/trace_file.h"

#include "common/box_lock.h"

namespace {

constexpr DWORD kRotateWaitMs = 2000;

HANDLE OpenForAppend(const char* path) {
  return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// True when the file at 'path' has room for 'length' more bytes (or cannot be looked at).
bool HasRoom(const char* path, DWORD length) {
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return true;
  LARGE_INTEGER size = {};
  bool room = !GetFileSizeEx(file, &size) || size.QuadPart == 0 ||
              size.QuadPart + length <= kTraceFileLimit;
  CloseHandle(file);
  return room;
}

// Renames the full file to "<path>.1" under a mutex of its own, looking at the size again
// once it holds it: a process that rotated just before leaves nothing to do.
void Rotate(const char* path, DWORD length) {
  char name[96];
  FormObjectName(name, "trace");
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  DWORD waited = mutex != nullptr ? WaitForSingleObject(mutex, kRotateWaitMs) : WAIT_FAILED;
  if (!HasRoom(path, length)) {
    char older[MAX_PATH + 2];
    DWORD at = 0;
    for (; path[at] != '\0' && at < MAX_PATH; ++at) older[at] = path[at];
    older[at++] = '.';
    older[at++] = '1';
    older[at] = '\0';
    MoveFileExA(path, older, MOVEFILE_REPLACE_EXISTING);
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(mutex);
  if (mutex != nullptr) CloseHandle(mutex);
}

}  // namespace

bool AppendTraceFile(const char* path, const char* text, DWORD length) {
  if (!HasRoom(path, length)) Rotate(path, length);
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text, length, &written, nullptr) && written == length;
  CloseHandle(file);
  return ok;
}

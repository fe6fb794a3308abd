// The trace file: appended to by any number of processes, never larger than 1 MiB.
#ifndef TEVRO_COMMON_TRACE_FILE_H
#define TEVRO_COMMON_TRACE_FILE_H

#include <windows.h>

constexpr LONGLONG kTraceFileLimit = 1 << 20;

// With the process lock held, before the first append: opens the trace's named mutex
// (common/library_objects.h's OpenLibraryMutexes, made as the boxes' mutexes are).
void PrepareTraceFile();
// Appends 'length' bytes of whole lines to the file at 'path' with one open, one write and
// a close (shared for reading, writing and deletion, so another process's rotation is never
// blocked), under a named mutex of the trace's own. When they would take the file past
// kTraceFileLimit, the file first becomes "<path>.1" (replacing an older one) and a new file
// is begun. Only a file on a disk is written (GetFileType). False when the lines could not
// be written.
bool AppendTraceFile(const char* path, const char* text, DWORD length);
// Closes the mutex (at unload).
void CloseTraceFile();

#endif  // TEVRO_COMMON_TRACE_FILE_H

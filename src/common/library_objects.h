// The library's named objects and files: their names, the security they are made with, and
// how a process opens them. They are the machine's, so that a service in session 0 and the
// programs of every desktop session take turns on a box: the mutexes in the global
// namespace, each driver-port box's record in a file of a folder every user may reach (a
// named file mapping in the global namespace cannot be made by a standard user's program,
// which may be the first to start). Each mutex has a twin in the logon session's namespace,
// the only one earlier copies of the library take, taken as well; where the machine's objects
// cannot be had at all (a sandbox refuses global names), the session's stand in for them,
// and the trace says so once.
//
// Their maker and SYSTEM hold every right; every other program, at any integrity level, only
// what the library does with them and the right to read their security. One found made by
// another program that lets anyone else change its security or its owner, or that hides it,
// is a squatter's: not to be used.
#ifndef TEVRO_COMMON_LIBRARY_OBJECTS_H
#define TEVRO_COMMON_LIBRARY_OBJECTS_H

#include <windows.h>
#include <stdint.h>

// "Global\TEVRO.{...}.<suffix>" (the machine's) or "Local\..." (the logon session's): no
// other program's object carries such a name.
enum class ObjectScope : uint8_t { kMachine, kSession };
void FormObjectName(char (&name)[96], ObjectScope scope, const char* suffix);

// The two mutexes of the library's name 'suffix' ("port.3", "trace").
struct LibraryMutexes {
  HANDLE machine;           // null when it cannot be had
  HANDLE session;           // null when it cannot be had, or is a squatter's
  bool squatted;            // the machine's is a squatter's (or the session's, standing in)
  bool machineUnreachable;  // the global namespace refuses this process
  DWORD error;              // why the one that stands for the lock cannot be had
};
LibraryMutexes OpenLibraryMutexes(const char* suffix);

// The record of driver-port box 'box', 'bytes' long: the machine's, a file under
// %ProgramData%\TEVRO (made, with its folder, when there is none), or the session's shared
// memory. kCannotBeHad: nothing (the trace says why once); kSquatted: the file or its folder
// is a squatter's, or the file is a link or not a record of this size.
struct RecordView {
  HANDLE mapping;
  void* view;    // what MapViewOfFile gave: for UnmapViewOfFile
  void* record;  // the record's first byte, past the file's header
};
enum class RecordOpen : uint8_t { kMapped, kSquatted, kCannotBeHad };
RecordOpen OpenRecord(uint8_t box, ObjectScope scope, size_t bytes, RecordView* out);
void CloseRecord(RecordView* record);

// Once a process: what it could not have of the machine's objects, so that it shares boxes
// with its logon session's programs only.
void TraceFallback(const char* what, DWORD error);
// Once a process: the machine's record files cannot be had, the session's memory stands in.
void TraceRecordFallback(const char* what, DWORD error);

// The descriptors made for the objects, freed at unload.
void FreeObjectSecurity();

#endif  // TEVRO_COMMON_LIBRARY_OBJECTS_H

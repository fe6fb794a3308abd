#include "common/library_objects.h"

#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "common/object_security.h"
#include "common/trace.h"

namespace {

// The fixed random part makes the names the library's own: no other program's objects
// carry them.
const char kMachinePrefix[] = "Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.";
const char kSessionPrefix[] = "Local\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.";
const char kRecordFolder[] = "\\TEVRO";  // under %ProgramData%

// What the library does with its objects, and all that any program may do with them,
// whatever its integrity level (the labels let low integrity in) and whoever made them:
// wait for and release a mutex, read and write a record, read their security.
constexpr DWORD kMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;
// What earlier copies of the library (which take their session's mutexes only) grant on them.
constexpr DWORD kEarlierMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kRecordRights = FILE_MAP_READ | FILE_MAP_WRITE;
const char kMutexSecurity[] = "D:(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x00120001;;;WD)S:(ML;;NW;;;LW)";
const char kRecordSecurity[] = "D:(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x00000006;;;WD)S:(ML;;NW;;;LW)";
// The records' folder: users may find files in it and add them; each record file: users may
// read and write its bytes and read its security.
const char kFolderSecurity[] = "D:P(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x001200A3;;;WD)S:(ML;;NW;;;LW)";
const char kFileSecurity[] = "D:P(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x0012019F;;;WD)S:(ML;;NW;;;LW)";

// A record file begins with this, so that a file of another kind, or of a later layout, is
// not taken for one.
struct RecordFileHeader {
  uint32_t magic;
  uint32_t version;
};
constexpr uint32_t kRecordMagic = 0x52525654;  // "TVRR"
constexpr uint32_t kRecordVersion = 1;

struct Descriptor {
  PSECURITY_DESCRIPTOR security;
  bool tried;
};

struct ObjectSecurity {
  Descriptor mutex, record, folder, file;
  bool fallbackTraced, recordFallbackTraced;
};

ObjectSecurity gSecurity;

// The attributes an object is made with, from 'text' (made once). Null when the
// descriptor cannot be made: the object is then not made at all, rather than made with
// the defaults, which would refuse the other programs.
LPSECURITY_ATTRIBUTES Attributes(Descriptor& d, const char* text, SECURITY_ATTRIBUTES* out) {
  if (!d.tried) {
    d.tried = true;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &d.security,
                                                              nullptr)) {
      d.security = nullptr;
    }
  }
  if (d.security == nullptr) return nullptr;
  *out = SECURITY_ATTRIBUTES{sizeof *out, d.security, FALSE};
  return out;
}

void FreeDescriptor(Descriptor& d) {
  if (d.security != nullptr) LocalFree(d.security);
  d = Descriptor{};
}

bool Trusted(HANDLE handle, SE_OBJECT_TYPE type) {
  return TrustOfHandle(handle, type) == ObjectTrust::kSound;
}

// The session's mutex 'name', made when there is none; one of an earlier copy of the
// library (which does not grant the right to read its security) is opened as that copy
// made it. *checked: its security was read and is sound.
HANDLE OpenSessionMutex(LPSECURITY_ATTRIBUTES made, const char* name, bool* checked) {
  *checked = false;
  HANDLE mutex = CreateMutexExA(made, name, 0, kMutexRights);
  if (mutex != nullptr) {
    if (GetLastError() != ERROR_ALREADY_EXISTS || Trusted(mutex, SE_KERNEL_OBJECT)) {
      *checked = true;
      return mutex;
    }
    CloseHandle(mutex);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (GetLastError() != ERROR_ACCESS_DENIED) return nullptr;
  return OpenMutexA(kEarlierMutexRights, FALSE, name);
}

// Whether this process may make objects in the global namespace at all: a mutex of a name
// no other process uses, made and closed at once.
bool GlobalNamespaceReachable() {
  char suffix[24];
  snprintf(suffix, sizeof suffix, "probe.%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  char name[96];
  FormObjectName(name, ObjectScope::kMachine, suffix);
  HANDLE probe = CreateMutexA(nullptr, FALSE, name);
  if (probe == nullptr) return false;
  CloseHandle(probe);
  return true;
}

RecordOpen OpenRecordFileIn(char (&path)[MAX_PATH], const char* name, LPSECURITY_ATTRIBUTES file,
                            size_t bytes, HANDLE* mapping, uint8_t** base);

// A file or folder found made by another program: a squatter's unless its security is
// sound; the record file also when it is a link or a reparse point, or of another size.
RecordOpen OpenRecordFile(uint8_t box, size_t bytes, HANDLE* mapping, uint8_t** base) {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("ProgramData", path, sizeof path);
  char name[32] = "\\port.0.record";
  name[6] = static_cast<char>('0' + box);
  if (length == 0 || length + sizeof kRecordFolder + sizeof name > sizeof path) {
    TraceRecordFallback("the records' folder", ERROR_PATH_NOT_FOUND);
    return RecordOpen::kCannotBeHad;
  }
  strcat(path, kRecordFolder);
  SECURITY_ATTRIBUTES folderAttributes, fileAttributes;
  LPSECURITY_ATTRIBUTES folder = Attributes(gSecurity.folder, kFolderSecurity, &folderAttributes);
  LPSECURITY_ATTRIBUTES file = Attributes(gSecurity.file, kFileSecurity, &fileAttributes);
  if (folder == nullptr || file == nullptr) return RecordOpen::kCannotBeHad;
  bool folderFound = false;
  if (!CreateDirectoryA(path, folder)) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      TraceRecordFallback("the records' folder", error);
      return RecordOpen::kCannotBeHad;
    }
    folderFound = true;
  }
  // The folder itself, not what it may link to, and held while the file is opened, shared
  // for reading only, so that it cannot be renamed, nor written into a mount point
  // meanwhile: a link there would have a service make the file anywhere on the machine.
  HANDLE held = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    TraceRecordFallback("the records' folder", GetLastError());
    return RecordOpen::kCannotBeHad;
  }
  BY_HANDLE_FILE_INFORMATION shape = {};
  if (!GetFileInformationByHandle(held, &shape) ||
      (shape.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (shape.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (folderFound && !Trusted(held, SE_FILE_OBJECT))) {
    CloseHandle(held);
    return RecordOpen::kSquatted;
  }
  const RecordOpen opened = OpenRecordFileIn(path, name, file, bytes, mapping, base);
  CloseHandle(held);
  return opened;
}

// The record file 'name' of the folder 'path', held: as OpenRecordFile.
RecordOpen OpenRecordFileIn(char (&path)[MAX_PATH], const char* name, LPSECURITY_ATTRIBUTES file,
                            size_t bytes, HANDLE* mapping, uint8_t** base) {
  strcat(path, name);
  HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE | READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, file, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD opened = GetLastError();
  if (handle == INVALID_HANDLE_VALUE) {
    TraceRecordFallback("a box's record file", opened);
    return RecordOpen::kCannotBeHad;
  }
  const DWORD total = static_cast<DWORD>(sizeof(RecordFileHeader) + bytes);
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool sound = (opened != ERROR_ALREADY_EXISTS || Trusted(handle, SE_FILE_OBJECT)) &&
                     GetFileInformationByHandle(handle, &info) && info.nNumberOfLinks == 1 &&
                     (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                     info.nFileSizeHigh == 0 &&
                     (info.nFileSizeLow == 0 || info.nFileSizeLow == total);
  if (!sound) {
    CloseHandle(handle);
    return RecordOpen::kSquatted;
  }
  // A new file is zero-filled to the record's size: no pulse, nothing known of the EEPROM.
  *mapping = CreateFileMappingA(handle, nullptr, PAGE_READWRITE, 0, total, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(handle);  // the mapping keeps the file open
  void* view = *mapping != nullptr ? MapViewOfFile(*mapping, kRecordRights, 0, 0, total) : nullptr;
  if (view == nullptr) {
    if (*mapping != nullptr) CloseHandle(*mapping);
    TraceRecordFallback("a box's record file", error);
    return RecordOpen::kCannotBeHad;
  }
  // The header is stamped in one exchange, so that a process mapping the file meanwhile
  // sees it either blank or whole.
  uint64_t expected = 0;
  const RecordFileHeader stamp = {kRecordMagic, kRecordVersion};
  uint64_t wanted = 0;
  memcpy(&wanted, &stamp, sizeof wanted);
  std::atomic_ref<uint64_t>(*static_cast<uint64_t*>(view))
      .compare_exchange_strong(expected, wanted);
  if (expected != 0 && expected != wanted) {
    // Another kind of file, or a later layout: not this library's record.
    UnmapViewOfFile(view);
    CloseHandle(*mapping);
    return RecordOpen::kSquatted;
  }
  *base = static_cast<uint8_t*>(view);
  return RecordOpen::kMapped;
}

// The session's record of box 'box', opened asking for read and write only, and made
// when there is none. Opening first matters: making an existing object opens it asking for
// every right, which its access list refuses.
HANDLE OpenSessionRecord(uint8_t box, size_t bytes) {
  char name[96];
  char part[24] = "port.0.pulse";
  part[5] = static_cast<char>('0' + box);
  FormObjectName(name, ObjectScope::kSession, part);
  for (int attempt = 0; attempt < 3; ++attempt) {
    HANDLE mapping = OpenFileMappingA(kRecordRights, FALSE, name);
    if (mapping != nullptr || GetLastError() != ERROR_FILE_NOT_FOUND) return mapping;
    SECURITY_ATTRIBUTES attributes;
    LPSECURITY_ATTRIBUTES made = Attributes(gSecurity.record, kRecordSecurity, &attributes);
    if (made == nullptr) return nullptr;
    // Memory backed by the paging file starts zeroed: no pulse, nothing known of the EEPROM.
    HANDLE creator = CreateFileMappingA(INVALID_HANDLE_VALUE, made, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(bytes), name);
    if (creator == nullptr) continue;  // another process made it meanwhile: open that one
    // The maker's handle has every right: the record is kept through one with only those
    // the library uses.
    mapping = OpenFileMappingA(kRecordRights, FALSE, name);
    CloseHandle(creator);
    if (mapping != nullptr) return mapping;
  }
  return nullptr;
}

}  // namespace

void FormObjectName(char (&name)[96], ObjectScope scope, const char* suffix) {
  DWORD at = 0;
  for (const char* p = scope == ObjectScope::kMachine ? kMachinePrefix : kSessionPrefix; *p != '\0';
       ++p) {
    name[at++] = *p;
  }
  for (const char* p = suffix; *p != '\0' && at + 1 < sizeof name; ++p) name[at++] = *p;
  name[at] = '\0';
}

LibraryMutexes OpenLibraryMutexes(const char* suffix) {
  LibraryMutexes m = {nullptr, nullptr, false, false, ERROR_SUCCESS};
  SECURITY_ATTRIBUTES attributes;
  LPSECURITY_ATTRIBUTES made = Attributes(gSecurity.mutex, kMutexSecurity, &attributes);
  if (made == nullptr) return m;
  char name[96];
  FormObjectName(name, ObjectScope::kMachine, suffix);
  m.machine = CreateMutexExA(made, name, 0, kMutexRights);
  m.error = GetLastError();
  if (m.machine != nullptr) {
    // One made by another program is used only when nobody else may change its security.
    if (m.error == ERROR_ALREADY_EXISTS && !Trusted(m.machine, SE_KERNEL_OBJECT)) {
      CloseHandle(m.machine);
      m.machine = nullptr;
      m.squatted = true;
      return m;
    }
  } else if (m.error != ERROR_ACCESS_DENIED) {
    // Another kind of object under the name, or a failure no sandbox explains.
    m.squatted = true;
    return m;
  } else {
    // Refused: a sandbox's namespace, or an object there that refuses this program. The
    // library's own grant every program what it uses, so where this process may make a
    // global object of its own, the refusing one is a squatter's: falling back to the
    // session's would split the box's lock between sessions.
    if (GlobalNamespaceReachable()) {
      m.squatted = true;
      return m;
    }
    m.machineUnreachable = true;
    TraceFallback("a named mutex", m.error);
  }
  FormObjectName(name, ObjectScope::kSession, suffix);
  bool checked = false;
  m.session = OpenSessionMutex(made, name, &checked);
  const DWORD sessionError = GetLastError();
  if (m.machineUnreachable) {
    m.error = sessionError;
    // Standing in for the machine's, it must be sound itself.
    if (m.session == nullptr && sessionError == ERROR_ACCESS_DENIED) {
      HANDLE probe = OpenMutexA(SYNCHRONIZE, FALSE, name);
      if (probe != nullptr) {
        CloseHandle(probe);
        m.squatted = true;
      }
    }
  }
  return m;
}

RecordOpen OpenRecord(uint8_t box, ObjectScope scope, size_t bytes, RecordView* out) {
  *out = RecordView{};
  if (scope == ObjectScope::kMachine) {
    uint8_t* base = nullptr;
    const RecordOpen opened = OpenRecordFile(box, bytes, &out->mapping, &base);
    if (opened == RecordOpen::kMapped) {
      out->view = base;
      out->record = base + sizeof(RecordFileHeader);
    } else {
      out->mapping = nullptr;
    }
    return opened;
  }
  out->mapping = OpenSessionRecord(box, bytes);
  if (out->mapping == nullptr) return RecordOpen::kCannotBeHad;
  out->view = MapViewOfFile(out->mapping, kRecordRights, 0, 0, bytes);
  if (out->view == nullptr) {
    CloseHandle(out->mapping);
    *out = RecordView{};
    return RecordOpen::kCannotBeHad;
  }
  out->record = out->view;
  return RecordOpen::kMapped;
}

void CloseRecord(RecordView* record) {
  if (record->view != nullptr) UnmapViewOfFile(record->view);
  if (record->mapping != nullptr) CloseHandle(record->mapping);
  *record = RecordView{};
}

void TraceFallback(const char* what, DWORD error) {
  if (gSecurity.fallbackTraced) return;
  gSecurity.fallbackTraced = true;
  TraceEvent("wait",
             "%s of the machine cannot be had (error %lu); this process shares boxes with the "
             "programs of its logon session only",
             what, static_cast<unsigned long>(error));
}

void TraceRecordFallback(const char* what, DWORD error) {
  if (gSecurity.recordFallbackTraced) return;
  gSecurity.recordFallbackTraced = true;
  TraceEvent("wait",
             "%s of the machine cannot be had (error %lu); this process takes turns on its "
             "boxes with every program, but shares their records (pulses, how the EEPROM was "
             "left) with the programs of its logon session only",
             what, static_cast<unsigned long>(error));
}

void FreeObjectSecurity() {
  FreeDescriptor(gSecurity.mutex);
  FreeDescriptor(gSecurity.record);
  FreeDescriptor(gSecurity.folder);
  FreeDescriptor(gSecurity.file);
  gSecurity.fallbackTraced = false;
  gSecurity.recordFallbackTraced = false;
}

// Named mutexes and file mappings (shared memory) between processes: one namespace for
// both per logon session, and the global one; each object with the security it was made
// with and each handle with the rights it was opened for. A mapping of a file is shared by
// every process that maps that file. Another program's part is played by the world's
// controls.
#include <string.h>

#include "state.h"

using namespace hostwin;

namespace {

constexpr size_t kPageBytes = 4096;
// What CreateFileMappingA asks for a read-write mapping, made or opened.
constexpr DWORD kReadWriteMappingRights =
    STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE;

HANDLE NewHandle(const std::string& name, DWORD access) {
  uintptr_t value = S().nextSyncHandle++;
  S().syncHandles[value] = State::SyncHandle{name, access};
  return reinterpret_cast<HANDLE>(value);
}

const State::SyncHandle* HandleOf(HANDLE handle) {
  auto it = S().syncHandles.find(reinterpret_cast<uintptr_t>(handle));
  return it == S().syncHandles.end() ? nullptr : &it->second;
}

// The object a handle of 'kind' refers to, with the handle's rights; null (and
// ERROR_INVALID_HANDLE) for another kind or no such handle.
State::Object* ObjectOf(HANDLE handle, ObjectKind kind, DWORD* access) {
  const State::SyncHandle* h = HandleOf(handle);
  if (h != nullptr) {
    State::Object& object = S().objects[h->name];
    if (object.kind == kind) {
      *access = h->access;
      return &object;
    }
  }
  SetError(ERROR_INVALID_HANDLE);
  return nullptr;
}

std::string UnnamedKey() { return "\x01unnamed." + std::to_string(++S().unnamedObjects); }
std::string FileKey(const std::string& lowerPath) { return "\x01file." + lowerPath; }

bool IsGlobal(const std::string& name) { return name.compare(0, 7, "Global\\") == 0; }

void MakeMemory(State::Object* object, size_t size) {
  object->size = size;
  object->memory.assign((size + kPageBytes - 1) / kPageBytes * kPageBytes, 0);
}

// Opens the existing object 'key' of 'kind' for 'access', as OpenMutexA and
// OpenFileMappingA do; null with the last error set when it cannot.
HANDLE OpenExisting(const std::string& key, ObjectKind kind, DWORD access) {
  if (IsGlobal(key) && !S().globalNamespace) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto it = S().objects.find(key);
  if (it == S().objects.end()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (it->second.kind != kind) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!Grants(it->second, access, ThisOpener())) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return NewHandle(key, MapGeneric(KindOf(kind), access));
}

// Creates the object, or opens the one of that name for 'access', as the Create* calls
// do: ERROR_ALREADY_EXISTS when it was there, 0 when made. *made says which.
HANDLE CreateOrOpen(const char* name, ObjectKind kind, const SECURITY_ATTRIBUTES* attributes,
                    DWORD access, bool* made) {
  *made = false;
  std::string text;
  Security security;
  if (!DescriptorOf(attributes, &text, &security)) {
    SetError(ERROR_INVALID_SECURITY_DESCR);
    return nullptr;
  }
  std::string key = name != nullptr ? ObjectKey(name) : UnnamedKey();
  if (S().objects.count(key) == 1) {
    HANDLE handle = OpenExisting(key, kind, access);
    if (handle != nullptr) SetError(ERROR_ALREADY_EXISTS);
    return handle;
  }
  if (IsGlobal(key) && !S().globalNamespace) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Making a global section needs the privilege to create global objects.
  if (IsGlobal(key) && kind == ObjectKind::kMapping && !S().elevated && !S().service) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  State::Object& object = S().objects[key];
  static_cast<Secured&>(object) = MadeByThisProcess(text, security);
  object.kind = kind;
  *made = true;
  SetError(ERROR_SUCCESS);
  // The maker's handle has the rights it asked for, whatever the descriptor grants.
  return NewHandle(key, MapGeneric(KindOf(kind), access));
}

HANDLE CreateMutexWithRights(LPSECURITY_ATTRIBUTES security, LPCSTR name, bool initialOwner,
                             DWORD access) {
  bool made = false;
  HANDLE handle = CreateOrOpen(name, ObjectKind::kMutex, security, access, &made);
  // The initial ownership is given only to the maker.
  if (handle != nullptr && made && initialOwner) {
    State::Object& m = S().objects[HandleOf(handle)->name];
    m.ownerThread = S().thread;
    m.recursion = 1;
  }
  return handle;
}

}  // namespace

namespace hostwin {

std::string ObjectKey(const std::string& name) {
  if (IsGlobal(name) || name.empty() || name[0] == '\x01') return name;
  const std::string local = "Local\\";
  const std::string rest =
      name.compare(0, local.size(), local) == 0 ? name.substr(local.size()) : name;
  // Session 0's own namespace is the global one.
  if (S().session == 0) return "Global\\" + rest;
  return "Session\\" + std::to_string(S().session) + "\\" + rest;
}

void SetSession(uint32_t session, bool service) {
  S().session = session;
  S().service = service;
}

void SetGlobalNamespace(bool reachable) { S().globalNamespace = reachable; }

// What another copy of the library makes its mutexes with.
const char kLibraryMutexSecurity[] = "D:(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x00120001;;;WD)";

void HoldMutex(const std::string& name, uint32_t forMs) {
  const bool made = S().objects.count(ObjectKey(name)) == 0;
  State::Object& m = S().objects[ObjectKey(name)];
  if (made) {
    m.madeByOther = true;
    m.sddl = kLibraryMutexSecurity;
    ParseSecurity(m.sddl, &m.security);
    m.owner = kDesktopUser;
  }
  m.ownerThread = kOtherProgram;
  m.recursion = 1;
  m.abandoned = false;
  m.otherUntilUs = forMs == 0 ? 0 : S().nowUs + 1000 * static_cast<uint64_t>(forMs);
}

void AbandonMutex(const std::string& name) {
  State::Object& m = S().objects[ObjectKey(name)];
  m.ownerThread = 0;
  m.recursion = 0;
  m.otherUntilUs = 0;
  m.abandoned = true;
}

bool MutexHeld(const std::string& name) {
  auto it = S().objects.find(ObjectKey(name));
  return it != S().objects.end() && it->second.kind == ObjectKind::kMutex &&
         it->second.ownerThread != 0;
}

std::vector<std::string> MutexNames() {
  std::vector<std::string> names;
  for (const auto& entry : S().objects) {
    if (entry.second.kind == ObjectKind::kMutex && entry.first[0] != '\x01') {
      names.push_back(entry.first);
    }
  }
  return names;
}

void DropUnheldObjects() {
  for (auto it = S().objects.begin(); it != S().objects.end();) {
    bool held = it->second.madeByOther || it->second.ownerThread == kOtherProgram;
    for (const auto& handle : S().syncHandles) held = held || handle.second.name == it->first;
    // A mapping of a file goes, and the file keeps its bytes.
    if (!held && !it->second.file.empty()) {
      std::string* bytes = FileBytes(it->second.file);
      if (bytes != nullptr) {
        bytes->assign(reinterpret_cast<const char*>(it->second.memory.data()), bytes->size());
      }
    }
    it = held ? std::next(it) : S().objects.erase(it);
  }
}

uint8_t* MappedFile(const std::string& path) {
  auto it = S().objects.find(FileKey(LowerPath(path)));
  return it == S().objects.end() ? nullptr : it->second.memory.data();
}

uint8_t* SharedMemory(const std::string& name) {
  auto it = S().objects.find(ObjectKey(name));
  if (it == S().objects.end() || it->second.kind != ObjectKind::kMapping) return nullptr;
  return it->second.memory.data();
}

bool MakeObjectAs(const std::string& name, ObjectKind kind, const std::string& sddl, bool elevated,
                  bool anotherUser) {
  Security security;
  const std::string key = ObjectKey(name);
  if (S().objects.count(key) == 1 || !ParseSecurity(sddl, &security)) return false;
  State::Object& object = S().objects[key];
  object.kind = kind;
  object.sddl = sddl;
  object.security = security;
  object.madeElevated = elevated;
  object.owner = elevated ? "BA" : anotherUser ? kAnotherUser : kDesktopUser;
  object.madeByOther = true;
  if (kind == ObjectKind::kMapping) MakeMemory(&object, kPageBytes);
  return true;
}

std::string ObjectSecurityText(const std::string& name) {
  auto it = S().objects.find(ObjectKey(name));
  return it == S().objects.end() ? std::string() : it->second.sddl;
}

std::vector<uint32_t> ObjectAccess(const std::string& name) {
  std::vector<uint32_t> rights;
  for (const auto& entry : S().syncHandles) {
    if (entry.second.name == ObjectKey(name)) rights.push_back(entry.second.access);
  }
  return rights;
}

bool OpenableBy(const std::string& name, uint32_t access, bool elevated) {
  auto it = S().objects.find(ObjectKey(name));
  return it != S().objects.end() &&
         Grants(it->second, access, Opener{kDesktopUser, elevated, false});
}

bool OpenableByAnotherUser(const std::string& name, uint32_t access) {
  auto it = S().objects.find(ObjectKey(name));
  return it != S().objects.end() && Grants(it->second, access, Opener{kAnotherUser, false, false});
}

}  // namespace hostwin

extern "C" {

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) {
  COUNT_CALL("CreateMutexA");
  return CreateMutexWithRights(security, name, initialOwner != FALSE, MUTEX_ALL_ACCESS);
}

HANDLE CreateMutexExA(LPSECURITY_ATTRIBUTES security, LPCSTR name, DWORD flags,
                      DWORD desiredAccess) {
  COUNT_CALL("CreateMutexExA");
  if ((flags & ~CREATE_MUTEX_INITIAL_OWNER) != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateMutexWithRights(security, name, (flags & CREATE_MUTEX_INITIAL_OWNER) != 0,
                               desiredAccess);
}

HANDLE OpenMutexA(DWORD access, BOOL, LPCSTR name) {
  COUNT_CALL("OpenMutexA");
  if (name == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return OpenExisting(ObjectKey(name), ObjectKind::kMutex, access);
}

BOOL ReleaseMutex(HANDLE mutex) {
  DWORD access = 0;
  State::Object* m = ObjectOf(mutex, ObjectKind::kMutex, &access);
  if (m == nullptr) return FALSE;
  if ((access & MUTEX_MODIFY_STATE) == 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (m->ownerThread != S().thread || m->recursion == 0) {
    SetError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--m->recursion == 0) m->ownerThread = 0;
  return TRUE;
}

// Only mutexes are waited for here. A mutex another thread of this process owns is never
// given back during the wait (that thread does not run in this world), so the wait runs out.
DWORD WaitForSingleObject(HANDLE object, DWORD ms) {
  DWORD access = 0;
  State::Object* m = ObjectOf(object, ObjectKind::kMutex, &access);
  if (m == nullptr) return WAIT_FAILED;
  if ((access & SYNCHRONIZE) == 0) {
    SetError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  if (m->ownerThread == S().thread) {
    ++m->recursion;
    return WAIT_OBJECT_0;
  }
  if (m->ownerThread != 0) {
    const bool otherProgram = m->ownerThread == kOtherProgram;
    const uint64_t releaseUs = otherProgram ? m->otherUntilUs : 0;
    if (ms == INFINITE && releaseUs == 0) {
      Violation("thread " + std::to_string(S().thread) + " waits with no end for mutex " +
                HandleOf(object)->name + ", which " +
                (otherProgram ? std::string("another program")
                              : "thread " + std::to_string(m->ownerThread)) +
                " keeps: it would wait for ever");
      return WAIT_TIMEOUT;
    }
    uint64_t waitEnd = ms == INFINITE ? UINT64_MAX : S().nowUs + 1000 * static_cast<uint64_t>(ms);
    if (releaseUs == 0 || releaseUs > waitEnd) {
      S().nowUs = waitEnd;
      return WAIT_TIMEOUT;
    }
    if (releaseUs > S().nowUs) S().nowUs = releaseUs;
  }
  DWORD result = m->abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  m->ownerThread = S().thread;
  m->recursion = 1;
  m->otherUntilUs = 0;
  m->abandoned = false;
  return result;
}

// Read-write mappings only: of the paging file (shared memory, sizeLow bytes), or, unnamed,
// of a file opened for reading and writing (grown to sizeLow when shorter; every process
// that maps the file shares its bytes).
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                          DWORD sizeHigh, DWORD sizeLow, LPCSTR name) {
  COUNT_CALL("CreateFileMappingA");
  if (protect != PAGE_READWRITE || sizeHigh != 0 || sizeLow == 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (file != INVALID_HANDLE_VALUE) {
    const std::string* path = FilePathOf(file);
    if (path == nullptr || name != nullptr) {
      SetError(path == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const std::string key = FileKey(*path);
    std::string* bytes = FileBytes(*path);
    if (bytes->size() < sizeLow) bytes->resize(sizeLow, '\0');
    State::Object& object = S().objects[key];
    if (object.file.empty()) {
      object.kind = ObjectKind::kMapping;
      object.file = *path;
      MakeMemory(&object, bytes->size());
      memcpy(object.memory.data(), bytes->data(), bytes->size());
    }
    SetError(ERROR_SUCCESS);
    return NewHandle(key, MapGeneric(SecuredKind::kMapping, kReadWriteMappingRights));
  }
  bool made = false;
  HANDLE handle =
      CreateOrOpen(name, ObjectKind::kMapping, security, kReadWriteMappingRights, &made);
  if (made) MakeMemory(&S().objects[HandleOf(handle)->name], sizeLow);
  return handle;
}

HANDLE OpenFileMappingA(DWORD access, BOOL, LPCSTR name) {
  COUNT_CALL("OpenFileMappingA");
  if (name == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return OpenExisting(ObjectKey(name), ObjectKind::kMapping, access);
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, DWORD, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  COUNT_CALL("GetSecurityInfo");
  if (type == SE_FILE_OBJECT && descriptor != nullptr) {
    for (PSID* sid : {owner, group}) {
      if (sid != nullptr) *sid = nullptr;
    }
    for (PACL* acl : {dacl, sacl}) {
      if (acl != nullptr) *acl = nullptr;
    }
    return FileSecurityOfHandle(handle, descriptor);
  }
  const State::SyncHandle* h = HandleOf(handle);
  if (type != SE_KERNEL_OBJECT || h == nullptr || descriptor == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if ((h->access & READ_CONTROL) == 0) return ERROR_ACCESS_DENIED;
  for (PSID* sid : {owner, group}) {
    if (sid != nullptr) *sid = nullptr;
  }
  for (PACL* acl : {dacl, sacl}) {
    if (acl != nullptr) *acl = nullptr;
  }
  *descriptor = MakeDescriptor(ReportedSecurity(S().objects[h->name]));
  return ERROR_SUCCESS;
}

// A view asks for the mapping rights of its access: FILE_MAP_WRITE (and so
// FILE_MAP_ALL_ACCESS) makes a read-write view. The stand-in hands every view of one
// mapping the same address, and a view beyond the mapping's size fails with
// ERROR_ACCESS_DENIED (a view size the section does not have).
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                     size_t bytes) {
  DWORD rights = 0;
  State::Object* object = ObjectOf(mapping, ObjectKind::kMapping, &rights);
  if (object == nullptr) return nullptr;
  DWORD needed =
      (access & FILE_MAP_WRITE) != 0 ? SECTION_MAP_READ | SECTION_MAP_WRITE : SECTION_MAP_READ;
  uint64_t offset = static_cast<uint64_t>(offsetHigh) << 32 | offsetLow;
  if ((rights & needed) != needed || offset % 65536 != 0 || offset + bytes > object->size ||
      (bytes == 0 && offset >= object->size)) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return object->memory.data() + offset;
}

BOOL UnmapViewOfFile(LPCVOID) { return TRUE; }

}  // extern "C"

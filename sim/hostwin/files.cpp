// Files other than box devices, the registry and the local time: the little the trace
// needs, in memory. Paths and registry names compare without regard to case, as on
// Windows. A name that is a device or a pipe opens a handle that is no file on a disk;
// what is written to it is recorded.
#include <ctype.h>
#include <string.h>

#include <algorithm>

#include "state.h"

using namespace hostwin;

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return text;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool HasFolder(const std::string& path) {
  std::string folder = Lower(FolderOf(path));
  return std::find(S().folders.begin(), S().folders.end(), folder) != S().folders.end();
}

const std::string* FileOf(HANDLE handle) {
  auto it = S().fileHandles.find(reinterpret_cast<uintptr_t>(handle));
  return it == S().fileHandles.end() ? nullptr : &it->second;
}

// A mapping of the file keeps the bytes every process sees; the file takes them back when
// the mapping goes (objects.cpp).
void SyncFromMapping(const std::string& path) {
  uint8_t* mapped = MappedFile(path);
  auto it = S().files.find(path);
  if (mapped != nullptr && it != S().files.end()) {
    it->second.assign(reinterpret_cast<const char*>(mapped), it->second.size());
  }
}

// The key's path in the store: HKLM\Software of the 32-bit view lies under
// HKLM\Software\WOW6432Node, as on 64-bit Windows. (Simplified: no key below
// HKLM\Software is shared between the views, and HKCU\Software is one for both.)
std::string KeyPath(HKEY root, const std::string& key, RegistryView view) {
  std::string path = Lower(key);
  const std::string software = "software";
  bool underSoftware = path.compare(0, software.size(), software) == 0 &&
                       (path.size() == software.size() || path[software.size()] == '\\');
  if (root == HKEY_LOCAL_MACHINE && view == RegistryView::k32 && underSoftware &&
      path.compare(software.size(), 12, "\\wow6432node") != 0) {
    path.insert(software.size(), "\\wow6432node");
  }
  return std::string(root == HKEY_LOCAL_MACHINE ? "hklm\\" : "hkcu\\") + path;
}

std::string RegistryName(const std::string& keyPath, const std::string& name) {
  return keyPath + "\\" + Lower(name);
}

struct OpenKey {
  std::string path;  // as KeyPath gives it
  REGSAM access;
};
// Open keys, kept until closed.
std::map<uintptr_t, OpenKey>& OpenKeys() {
  static std::map<uintptr_t, OpenKey> keys;
  return keys;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return Lower(text.substr(0, strlen(prefix))) == prefix;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 as the last part of a path, also with an extension
// or a trailing colon: Windows opens the device whatever folder is named.
bool IsDosDeviceName(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  std::string base = Lower(path.substr(slash == std::string::npos ? 0 : slash + 1));
  base = base.substr(0, base.find('.'));
  while (!base.empty() && (base.back() == ' ' || base.back() == ':')) base.pop_back();
  if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
  return base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

// The file type of a name that is no file on a disk, or FILE_TYPE_DISK. *diskPath is the
// path of a disk file ("\\.\C:\x" and "\\?\C:\x" are C:\x).
DWORD TypeOfName(const std::string& name, std::string* diskPath) {
  *diskPath = name;
  if (S().nonDiskNames.count(Lower(name)) == 1) return FILE_TYPE_CHAR;
  if (StartsWith(name, "\\\\.\\") || StartsWith(name, "\\\\?\\")) {
    std::string rest = name.substr(4);
    if (rest.size() >= 3 && isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':' &&
        rest[2] == '\\') {
      *diskPath = rest;
      return IsDosDeviceName(rest) ? FILE_TYPE_CHAR : FILE_TYPE_DISK;
    }
    return StartsWith(rest, "pipe\\") ? FILE_TYPE_PIPE : FILE_TYPE_CHAR;
  }
  return IsDosDeviceName(name) ? FILE_TYPE_CHAR : FILE_TYPE_DISK;
}

}  // namespace

namespace hostwin {

std::string LowerPath(const std::string& path) { return Lower(path); }

std::string* FileBytes(const std::string& lowerPath) {
  auto it = S().files.find(lowerPath);
  return it == S().files.end() ? nullptr : &it->second;
}

const std::string* FilePathOf(HANDLE handle) { return FileOf(handle); }

void AddFolder(const std::string& folder) { S().folders.push_back(Lower(folder)); }
bool FileExists(const std::string& path) { return S().files.count(Lower(path)) == 1; }
std::string FileText(const std::string& path) {
  SyncFromMapping(Lower(path));
  auto it = S().files.find(Lower(path));
  return it == S().files.end() ? std::string() : it->second;
}

bool MakeFileAs(const std::string& path, const std::string& sddl) {
  Secured made;
  if (!HasFolder(Lower(path)) || S().files.count(Lower(path)) == 1 ||
      !ParseSecurity(sddl, &made.security)) {
    return false;
  }
  made.sddl = sddl;
  made.owner = kAnotherUser;
  S().files[Lower(path)] = std::string();
  S().fileSecurity[Lower(path)] = made;
  return true;
}

bool MakeFolderAs(const std::string& folder, const std::string& sddl) {
  Secured made;
  const std::string path = Lower(folder);
  if (!HasFolder(path) ||
      std::find(S().folders.begin(), S().folders.end(), path) != S().folders.end() ||
      !ParseSecurity(sddl, &made.security)) {
    return false;
  }
  made.sddl = sddl;
  made.owner = kAnotherUser;
  S().folders.push_back(path);
  S().fileSecurity[path] = made;
  return true;
}

bool FileOpenableBy(const std::string& path, uint32_t access, bool anotherUser) {
  auto it = S().fileSecurity.find(Lower(path));
  if (it == S().fileSecurity.end()) return false;
  return Grants(it->second, SecuredKind::kFile, access,
                Opener{anotherUser ? kAnotherUser : kDesktopUser, false, false});
}

std::string FileSecurityText(const std::string& path) {
  auto it = S().fileSecurity.find(Lower(path));
  return it == S().fileSecurity.end() ? std::string() : it->second.sddl;
}
void SetFileText(const std::string& path, const std::string& text) {
  S().files[Lower(path)] = text;
}
void FailFileWrites(bool fail) { S().failFileWrites = fail; }
void FailFileRenames(bool fail) { S().failFileRenames = fail; }

void SetRegistryString(bool machine, const std::string& key, const std::string& name,
                       const std::string& value, RegistryView view) {
  HKEY root = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  S().registry[RegistryName(KeyPath(root, key, view), name)] = value;
}

void DeleteRegistryValue(bool machine, const std::string& key, const std::string& name,
                         RegistryView view) {
  HKEY root = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  S().registry.erase(RegistryName(KeyPath(root, key, view), name));
}

void SetProcessBits(int bits) { S().processBits = bits; }

const std::vector<NonDiskWrite>& NonDiskWrites() { return S().nonDiskWrites; }
void MakeNonDiskName(const std::string& name) { S().nonDiskNames.insert(Lower(name)); }

bool IsFolder(const std::string& path) {
  return std::find(S().folders.begin(), S().folders.end(), path) != S().folders.end();
}

HANDLE OpenFile(const char* name, DWORD access, DWORD disposition, DWORD flags,
                const SECURITY_ATTRIBUTES* security) {
  std::string diskPath;
  DWORD type = TypeOfName(name, &diskPath);
  // Files of the machine's data folder (the boxes' records) are counted apart from others
  // (the trace's).
  if (type == FILE_TYPE_DISK && Lower(diskPath).compare(0, 15, "c:\\programdata\\") == 0) {
    COUNT_CALL("CreateFileA(program data)");
  } else {
    COUNT_CALL("CreateFileA(file)");
  }
  if (type != FILE_TYPE_DISK) {
    // The device or pipe is there (a pipe as if its server listened).
    uintptr_t handle = S().nextFileHandle++;
    S().deviceFiles[handle] = name;
    S().deviceFileTypes[handle] = type;
    SetError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(handle);
  }
  std::string path = Lower(diskPath);
  if (IsFolder(path)) {
    // A folder opens only as a folder, with backup semantics, and only as it is.
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || disposition != OPEN_EXISTING) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    uintptr_t handle = S().nextFileHandle++;
    S().fileHandles[handle] = path;
    S().fileAccess[handle] = access;
    SetError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(handle);
  }
  const bool existed = S().files.count(path) == 1;
  auto secured = S().fileSecurity.find(path);
  if (existed && secured != S().fileSecurity.end() &&
      !Grants(secured->second, SecuredKind::kFile, access, ThisOpener())) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!existed) {
    if (disposition != OPEN_ALWAYS || !HasFolder(path)) {
      SetError(HasFolder(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    std::string text;
    Security parsed;
    if (!DescriptorOf(security, &text, &parsed)) {
      SetError(ERROR_INVALID_SECURITY_DESCR);
      return INVALID_HANDLE_VALUE;
    }
    if (!text.empty()) S().fileSecurity[path] = MadeByThisProcess(text, parsed);
    S().files[path] = std::string();
  }
  uintptr_t handle = S().nextFileHandle++;
  S().fileHandles[handle] = path;
  S().fileAccess[handle] = access;
  SetError(existed && disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(handle);
}

bool CloseFileHandle(HANDLE handle) {
  S().fileAccess.erase(reinterpret_cast<uintptr_t>(handle));
  return S().fileHandles.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}

// Reading a file's security takes READ_CONTROL, which reading its bytes includes.
DWORD FileSecurityOfHandle(HANDLE handle, PSECURITY_DESCRIPTOR* descriptor) {
  const std::string* path = FileOf(handle);
  if (path == nullptr) return ERROR_INVALID_HANDLE;
  if ((S().fileAccess[reinterpret_cast<uintptr_t>(handle)] &
       (READ_CONTROL | GENERIC_READ | GENERIC_ALL)) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  const std::string named = *path;
  return GetNamedSecurityInfoA(named.c_str(), SE_FILE_OBJECT, 0, nullptr, nullptr, nullptr, nullptr,
                               descriptor);
}

void SetFileShape(const std::string& path, uint32_t links, bool reparsePoint) {
  S().fileShapes[Lower(path)] = {links, reparsePoint};
}

bool CloseDeviceFile(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  S().deviceFileTypes.erase(value);
  return S().deviceFiles.erase(value) == 1;
}

}  // namespace hostwin

extern "C" {

// A device or a pipe takes every byte; a box device's driver serves requests only.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED) {
  COUNT_CALL("WriteFile");
  uintptr_t value = reinterpret_cast<uintptr_t>(file);
  std::string bytes(static_cast<const char*>(data), length);
  auto device = S().deviceFiles.find(value);
  if (device != S().deviceFiles.end() || IsBoxDevice(file)) {
    const bool box = device == S().deviceFiles.end();
    S().nonDiskWrites.push_back(NonDiskWrite{box ? "box device" : device->second, bytes});
    if (box) {
      SetError(ERROR_INVALID_FUNCTION);
      return FALSE;
    }
    if (written != nullptr) *written = length;
    return TRUE;
  }
  const std::string* path = FileOf(file);
  if (path == nullptr || S().failFileWrites) {
    SetError(path == nullptr ? ERROR_INVALID_HANDLE : ERROR_DISK_FULL);
    return FALSE;
  }
  S().files[*path].append(bytes);
  if (written != nullptr) *written = length;
  return TRUE;
}

// Simplified: a device or a pipe reports the size 0.
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  if (S().deviceFiles.count(reinterpret_cast<uintptr_t>(file)) == 1) {
    size->QuadPart = 0;
    return TRUE;
  }
  const std::string* path = FileOf(file);
  if (path == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size->QuadPart = static_cast<LONGLONG>(S().files[*path].size());
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  const std::string* path = FileOf(file);
  if (path == nullptr || information == nullptr) {
    SetError(path == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *information = BY_HANDLE_FILE_INFORMATION{};
  auto shape = S().fileShapes.find(*path);
  const bool reparse = shape != S().fileShapes.end() && shape->second.second;
  const bool folder = IsFolder(*path);
  information->dwFileAttributes =
      (reparse ? FILE_ATTRIBUTE_REPARSE_POINT : 0) | (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (information->dwFileAttributes == 0) information->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  information->nNumberOfLinks = shape != S().fileShapes.end() ? shape->second.first : 1;
  information->nFileSizeLow = folder ? 0 : static_cast<DWORD>(S().files[*path].size());
  return TRUE;
}

DWORD GetFileType(HANDLE file) {
  COUNT_CALL("GetFileType");
  uintptr_t value = reinterpret_cast<uintptr_t>(file);
  SetError(ERROR_SUCCESS);
  if (S().fileHandles.count(value) == 1) return FILE_TYPE_DISK;
  auto device = S().deviceFileTypes.find(value);
  if (device != S().deviceFileTypes.end()) return device->second;
  if (!IsBoxDevice(file)) SetError(ERROR_INVALID_HANDLE);
  return FILE_TYPE_UNKNOWN;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  COUNT_CALL("CreateDirectoryA");
  const std::string folder = Lower(path);
  if (std::find(S().folders.begin(), S().folders.end(), folder) != S().folders.end()) {
    SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  std::string text;
  Security parsed;
  if (!HasFolder(folder) || !DescriptorOf(security, &text, &parsed)) {
    SetError(HasFolder(folder) ? ERROR_INVALID_SECURITY_DESCR : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  S().folders.push_back(folder);
  if (!text.empty()) S().fileSecurity[folder] = MadeByThisProcess(text, parsed);
  return TRUE;
}

// A file or folder made with no descriptor reports the defaults of its maker (the desktop's
// user's, here).
DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, DWORD, PSID* owner, PSID* group,
                            PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  COUNT_CALL("GetNamedSecurityInfoA");
  const std::string path = Lower(name != nullptr ? name : "");
  const bool folder = std::find(S().folders.begin(), S().folders.end(), path) != S().folders.end();
  if (type != SE_FILE_OBJECT || descriptor == nullptr) return ERROR_INVALID_PARAMETER;
  if (!folder && S().files.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  for (PSID* sid : {owner, group}) {
    if (sid != nullptr) *sid = nullptr;
  }
  for (PACL* acl : {dacl, sacl}) {
    if (acl != nullptr) *acl = nullptr;
  }
  auto secured = S().fileSecurity.find(path);
  Secured defaults;
  defaults.owner = kDesktopUser;
  *descriptor = MakeDescriptor(
      ReportedSecurity(secured != S().fileSecurity.end() ? secured->second : defaults));
  return ERROR_SUCCESS;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  COUNT_CALL("MoveFileExA");
  std::string source = Lower(from);
  std::string target = Lower(to);
  auto it = S().files.find(source);
  if (it == S().files.end() || !HasFolder(target) || S().failFileRenames) {
    SetError(it == S().files.end() ? ERROR_FILE_NOT_FOUND
             : !HasFolder(target)  ? ERROR_PATH_NOT_FOUND
                                   : ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (S().files.count(target) == 1 && (flags & MOVEFILE_REPLACE_EXISTING) == 0) {
    SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  S().files[target] = it->second;
  S().files.erase(source);
  // Handles open on the old name keep writing to the renamed file, as on Windows.
  for (auto& entry : S().fileHandles) {
    if (entry.second == source) entry.second = target;
  }
  return TRUE;
}

void GetLocalTime(SYSTEMTIME* time) {
  uint64_t ms = S().nowUs / 1000;
  *time = SYSTEMTIME{};
  time->wYear = 2026;
  time->wMonth = 12;
  time->wDay = static_cast<WORD>(8 + ms / 86400000 % 20);
  time->wHour = static_cast<WORD>((10 + ms / 3600000) % 24);
  time->wMinute = static_cast<WORD>(ms / 60000 % 60);
  time->wSecond = static_cast<WORD>(ms / 1000 % 60);
  time->wMilliseconds = static_cast<WORD>(ms % 1000);
}

// A key is there when a value lies at or below it. Without a view flag a 32-bit process
// reads the 32-bit view; both flags at once are refused, as Windows refuses them.
LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM access, PHKEY key) {
  COUNT_CALL("RegOpenKeyExA");
  const REGSAM views = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (views == (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) return ERROR_INVALID_PARAMETER;
  RegistryView view = views == KEY_WOW64_32KEY || (views == 0 && S().processBits == 32)
                          ? RegistryView::k32
                          : RegistryView::k64;
  std::string path = KeyPath(root, subKey, view);
  std::string prefix = path + "\\";
  for (const auto& entry : S().registry) {
    if (entry.first.compare(0, prefix.size(), prefix) != 0) continue;
    static uintptr_t next = 0x7E000000;
    uintptr_t handle = ++next;
    OpenKeys()[handle] = OpenKey{path, access};
    *key = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  COUNT_CALL("RegQueryValueExA");
  auto open = OpenKeys().find(reinterpret_cast<uintptr_t>(key));
  if (open == OpenKeys().end()) return ERROR_INVALID_HANDLE;
  if ((open->second.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  auto it = S().registry.find(RegistryName(open->second.path, name));
  if (it == S().registry.end()) return ERROR_FILE_NOT_FOUND;
  DWORD needed = static_cast<DWORD>(it->second.size() + 1);
  if (type != nullptr) *type = REG_SZ;
  if (data != nullptr) {
    if (*size < needed) return ERROR_MORE_DATA;
    memcpy(data, it->second.c_str(), needed);
  }
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  OpenKeys().erase(reinterpret_cast<uintptr_t>(key));
  return ERROR_SUCCESS;
}

}  // extern "C"

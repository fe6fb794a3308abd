// Files other than devices, the registry and the local time: the little the trace needs,
// in memory. Paths and registry names compare without regard to case, as on Windows.
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

std::string RegistryName(HKEY root, const std::string& key, const std::string& name) {
  return Lower(std::string(root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\") + key + "\\" + name);
}

// An open key is its root and path, kept until closed.
std::map<uintptr_t, std::pair<HKEY, std::string>>& OpenKeys() {
  static std::map<uintptr_t, std::pair<HKEY, std::string>> keys;
  return keys;
}

}  // namespace

namespace hostwin {

void AddFolder(const std::string& folder) { S().folders.push_back(Lower(folder)); }
bool FileExists(const std::string& path) { return S().files.count(Lower(path)) == 1; }
std::string FileText(const std::string& path) {
  auto it = S().files.find(Lower(path));
  return it == S().files.end() ? std::string() : it->second;
}
void SetFileText(const std::string& path, const std::string& text) {
  S().files[Lower(path)] = text;
}
void FailFileWrites(bool fail) { S().failFileWrites = fail; }
void FailFileRenames(bool fail) { S().failFileRenames = fail; }

void SetRegistryString(bool machine, const std::string& key, const std::string& name,
                       const std::string& value) {
  S().registry[RegistryName(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key, name)] = value;
}

void DeleteRegistryValue(bool machine, const std::string& key, const std::string& name) {
  S().registry.erase(RegistryName(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key, name));
}

HANDLE OpenFile(const char* name, DWORD, DWORD disposition) {
  COUNT_CALL("CreateFileA(file)");
  std::string path = Lower(name);
  if (S().files.count(path) == 0) {
    if (disposition != OPEN_ALWAYS || !HasFolder(path)) return INVALID_HANDLE_VALUE;
    S().files[path] = std::string();
  }
  uintptr_t handle = S().nextFileHandle++;
  S().fileHandles[handle] = path;
  return reinterpret_cast<HANDLE>(handle);
}

bool CloseFileHandle(HANDLE handle) {
  return S().fileHandles.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}

}  // namespace hostwin

extern "C" {

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED) {
  COUNT_CALL("WriteFile");
  const std::string* path = FileOf(file);
  if (path == nullptr || S().failFileWrites) return FALSE;
  S().files[*path].append(static_cast<const char*>(data), length);
  if (written != nullptr) *written = length;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  const std::string* path = FileOf(file);
  if (path == nullptr) return FALSE;
  size->QuadPart = static_cast<LONGLONG>(S().files[*path].size());
  return TRUE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  COUNT_CALL("MoveFileExA");
  std::string source = Lower(from);
  std::string target = Lower(to);
  auto it = S().files.find(source);
  if (it == S().files.end() || !HasFolder(target) || S().failFileRenames) return FALSE;
  if (S().files.count(target) == 1 && (flags & MOVEFILE_REPLACE_EXISTING) == 0) return FALSE;
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

LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM, PHKEY key) {
  COUNT_CALL("RegOpenKeyExA");
  std::string prefix = RegistryName(root, subKey, "");
  for (const auto& entry : S().registry) {
    if (entry.first.compare(0, prefix.size(), prefix) != 0) continue;
    static uintptr_t next = 0x7E000000;
    uintptr_t handle = ++next;
    OpenKeys()[handle] = {root, subKey};
    *key = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  COUNT_CALL("RegQueryValueExA");
  auto open = OpenKeys().find(reinterpret_cast<uintptr_t>(key));
  if (open == OpenKeys().end()) return ERROR_FILE_NOT_FOUND;
  auto it = S().registry.find(RegistryName(open->second.first, open->second.second, name));
  if (it == S().registry.end()) return ERROR_FILE_NOT_FOUND;
  DWORD needed = static_cast<DWORD>(it->second.size() + 1);
  if (type != nullptr) *type = REG_SZ;
  if (data != nullptr) {
    if (*size < needed) return 234;  // ERROR_MORE_DATA
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

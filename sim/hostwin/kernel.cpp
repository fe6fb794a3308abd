// Kernel calls: environment, file test, library loading, time and device files.
#include <string.h>

#include "d2xx_exports.h"
#include "state.h"

using namespace hostwin;

namespace {

const HMODULE kSystemD2xx = reinterpret_cast<HMODULE>(0xD2D20000);
const HMODULE kPlantedD2xx = reinterpret_cast<HMODULE>(0xBAD00000);
const HANDLE kFindHandle = reinterpret_cast<HANDLE>(0xF1D0);

const char kBoxDevicePrefix[] = "\\\\.\\Drelvan_";

// A name of the box driver's devices: CreateFileA takes the traced device path for it.
bool IsBoxDevicePath(const char* name) {
  return strncmp(name, kBoxDevicePrefix, sizeof kBoxDevicePrefix - 1) == 0;
}

// The box index N of "\\.\Drelvan_N" (N one digit), or -1.
int PortIndexOfPath(const char* name) {
  if (!IsBoxDevicePath(name)) return -1;
  const char* digit = name + sizeof kBoxDevicePrefix - 1;
  if (digit[0] < '0' || digit[0] > '9' || digit[1] != '\0') return -1;
  return digit[0] - '0';
}

std::string DeviceText(HANDLE handle) {
  auto it = S().deviceHandles.find(reinterpret_cast<uintptr_t>(handle));
  if (it != S().deviceHandles.end()) return "d" + std::to_string(it->second);
  if (handle == INVALID_HANDLE_VALUE) return "-1";
  return HexValue(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

namespace hostwin {

bool IsBoxDevice(HANDLE handle) {
  return S().deviceHandles.count(reinterpret_cast<uintptr_t>(handle)) == 1;
}

}  // namespace hostwin

extern "C" {

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  TRACE_CALL("GetEnvironmentVariableA", std::string(name) + "," + std::to_string(size));
  auto it = S().env.find(name);
  if (it == S().env.end()) return 0;
  const std::string& value = it->second;
  if (value.size() + 1 > size) return static_cast<DWORD>(value.size() + 1);
  memcpy(buffer, value.c_str(), value.size() + 1);
  return static_cast<DWORD>(value.size());
}

HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  TRACE_CALL("FindFirstFileA", name);
  if (S().d2xxFile == D2xxFile::kAbsent || !SameText(name, SystemD2xxPath())) {
    return INVALID_HANDLE_VALUE;
  }
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = S().d2xxFile == D2xxFile::kDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0x20;
  strcpy(data->cFileName, "ftd2xx.dll");
  return kFindHandle;
}

BOOL FindClose(HANDLE find) {
  TRACE_CALL("FindClose", HexValue(reinterpret_cast<uintptr_t>(find)));
  return find == kFindHandle;
}

HMODULE LoadLibraryA(LPCSTR name) {
  TRACE_CALL("LoadLibraryA", name);
  std::string path = name;
  bool bareName = path.find('\\') == std::string::npos;
  if (bareName && SameText(path, "ftd2xx.dll") && S().planted) {
    S().plantedLoaded = true;
    return kPlantedD2xx;
  }
  bool system = SameText(path, SystemD2xxPath()) || (bareName && SameText(path, "ftd2xx.dll"));
  if (system && S().d2xxFile == D2xxFile::kPresent) {
    S().d2xxLoaded = true;
    return kSystemD2xx;
  }
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  TRACE_CALL("GetProcAddress", name);
  if (module != kSystemD2xx || name == S().missingFunction) return nullptr;
  return FindD2xxExport(name);
}

BOOL FreeLibrary(HMODULE module) {
  TRACE_CALL("FreeLibrary", HexValue(reinterpret_cast<uintptr_t>(module)));
  if (module == kSystemD2xx) {
    S().d2xxLoaded = false;
    return TRUE;
  }
  return module == kPlantedD2xx;
}

void Sleep(DWORD ms) {
  TRACE_CALL("Sleep", std::to_string(ms));
  S().nowUs = WaitEndUs(ms);
}

DWORD GetTickCount(void) { return static_cast<DWORD>(TickAtOrBefore(S().nowUs) / 1000); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  count->QuadPart = static_cast<LONGLONG>(S().nowUs);
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  frequency->QuadPart = 1000000;
  return TRUE;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (!IsBoxDevicePath(name)) return OpenFile(name, access, disposition, flags, security);
  TRACE_CALL("CreateFileA", std::string(name) + "," + HexValue(access) + "," + HexValue(share) +
                                "," + (security ? "sa" : "null") + "," +
                                std::to_string(disposition) + "," + HexValue(flags) + "," +
                                (templateFile ? "tmpl" : "null"));
  int index = PortIndexOfPath(name);
  if (index < 0 || !S().portPresent[index] || !S().ports[index].present) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  uintptr_t value = 0xD000 + 0x100 * static_cast<uintptr_t>(index) + (++S().deviceSerial & 0xFF);
  S().deviceHandles[value] = index;
  return reinterpret_cast<HANDLE>(value);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
  TRACE_CALL("DeviceIoControl", DeviceText(device) + "," + HexValue(code) + "," + Hex(in, inSize));
  auto it = S().deviceHandles.find(reinterpret_cast<uintptr_t>(device));
  if (it == S().deviceHandles.end() || inSize != sim::kPortCommandBytes ||
      outSize != sim::kPortReplyBytes || overlapped != nullptr) {
    SetError(it == S().deviceHandles.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (S().deviceHook) {
    Callout inTest;
    if (!S().deviceHook(it->second, code, static_cast<const uint8_t*>(in))) {
      SetError(ERROR_GEN_FAILURE);
      return FALSE;
    }
  }
  uint32_t replyBytes = 0;
  bool ok = sim::PortBoxRequest(S().ports[it->second], code, static_cast<const uint8_t*>(in),
                                static_cast<uint8_t*>(out), NowUs(), &replyBytes);
  if (ok && returned != nullptr) *returned = replyBytes;
  if (!ok) SetError(ERROR_GEN_FAILURE);
  return ok ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE handle) {
  if (CloseSyncHandle(handle) || CloseFileHandle(handle) || CloseDeviceFile(handle)) return TRUE;
  TRACE_CALL("CloseHandle", DeviceText(handle));
  if (S().deviceHandles.erase(reinterpret_cast<uintptr_t>(handle)) == 1) return TRUE;
  SetError(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // extern "C"

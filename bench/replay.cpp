#include "replay.h"

#include <stdlib.h>
#include <string.h>

#include "d2xx_exports.h"
#include "d2xx_functions.h"

namespace {

struct D2xx {
  D2XX_FUNCTIONS(D2XX_POINTER_MEMBER)
};

// The stand-in's D2XX functions, taken straight from it: no LoadLibraryA, no GetProcAddress.
const D2xx& Functions() {
  static D2xx d2xx = [] {
    D2xx f{};
#define D2XX_RESOLVE(name, params)             \
  f.name = reinterpret_cast<decltype(f.name)>( \
      reinterpret_cast<void*>(FindD2xxExport(D2XX_EXPORT_NAME(name))));
    D2XX_FUNCTIONS(D2XX_RESOLVE)
#undef D2XX_RESOLVE
    return f;
  }();
  return d2xx;
}

void CALLBACK IgnoreTimer(HWND, UINT, UINT_PTR, DWORD) {}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

uint32_t Number(const std::string& text) {
  return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 0));
}

std::vector<uint8_t> HexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  const char* p = text.c_str();
  for (;;) {
    char* end = nullptr;
    unsigned long value = strtoul(p, &end, 16);
    if (end == p) return out;
    out.push_back(static_cast<uint8_t>(value));
    p = end;
  }
}

}  // namespace

enum class Replay::Kind : uint8_t {
  kCreateFile,
  kDeviceIoControl,
  kCloseHandle,
  kFtOpen,
  kFtClose,
  kFtSetBaudRate,
  kFtSetTimeouts,
  kFtSetDataCharacteristics,
  kFtSetFlowControl,
  kFtUaSize,
  kFtUaRead,
  kFtUaWrite,
  kFtWrite,
  kFtRead,
  kFtPurge,
  kFtGetStatus,
  kSleep,
  kMessageBeep,
  kMessageBox,
  kSetTimer,
  kKillTimer,
  kTimerDispatch,
  kEnvironment,
  kFindFirstFile,
  kFindClose,
};

bool Replay::Compile(const std::vector<hostwin::TraceEntry>& calls, std::string* error) {
  steps_.clear();
  for (const hostwin::TraceEntry& e : calls) {
    Step s{};
    std::vector<std::string> args = Split(e.args, ',');
    // Device and D2XX handles: the trace names a live handle by its box ("d0", "h0").
    const std::string& first = args[0];
    s.ownHandle = !first.empty() && (first[0] == 'd' || first[0] == 'h');
    if (!s.ownHandle) s.handle = static_cast<uintptr_t>(strtoll(first.c_str(), nullptr, 0));
    if (e.call == "CreateFileA") {
      s.kind = Kind::kCreateFile;
      s.text = args[0];
      s.a = Number(args[1]);
      s.b = Number(args[2]);
      s.c = Number(args[4]);
      s.d = Number(args[5]);
    } else if (e.call == "DeviceIoControl") {
      s.kind = Kind::kDeviceIoControl;
      s.a = Number(args[1]);
      s.bytes = HexBytes(args[2]);
    } else if (e.call == "CloseHandle") {
      s.kind = Kind::kCloseHandle;
    } else if (e.call == "FT_Open") {
      s.kind = Kind::kFtOpen;
      s.a = Number(args[0]);
    } else if (e.call == "FT_Close") {
      s.kind = Kind::kFtClose;
    } else if (e.call == "FT_SetBaudRate") {
      s.kind = Kind::kFtSetBaudRate;
      s.a = Number(args[1]);
    } else if (e.call == "FT_SetTimeouts") {
      s.kind = Kind::kFtSetTimeouts;
      s.a = Number(args[1]);
      s.b = Number(args[2]);
    } else if (e.call == "FT_SetDataCharacteristics") {
      s.kind = Kind::kFtSetDataCharacteristics;
      s.a = Number(args[1]);
      s.b = Number(args[2]);
      s.c = Number(args[3]);
    } else if (e.call == "FT_SetFlowControl") {
      s.kind = Kind::kFtSetFlowControl;
      s.a = Number(args[1]);
      s.b = Number(args[2]);
      s.c = Number(args[3]);
    } else if (e.call == "FT_EE_UASize") {
      s.kind = Kind::kFtUaSize;
    } else if (e.call == "FT_EE_UARead") {
      s.kind = Kind::kFtUaRead;
      s.a = Number(args[1]);
    } else if (e.call == "FT_EE_UAWrite") {
      s.kind = Kind::kFtUaWrite;
      s.bytes = HexBytes(args[1]);
    } else if (e.call == "FT_Write") {
      s.kind = Kind::kFtWrite;
      s.bytes = HexBytes(args[1]);
    } else if (e.call == "FT_Read") {
      s.kind = Kind::kFtRead;
      s.a = Number(args[1]);
    } else if (e.call == "FT_Purge") {
      s.kind = Kind::kFtPurge;
      s.a = Number(args[1]);
    } else if (e.call == "FT_GetStatus") {
      s.kind = Kind::kFtGetStatus;
    } else if (e.call == "Sleep") {
      s.kind = Kind::kSleep;
      s.a = Number(args[0]);
    } else if (e.call == "MessageBeep") {
      s.kind = Kind::kMessageBeep;
      s.a = Number(args[0]);
    } else if (e.call == "MessageBoxA") {
      std::vector<std::string> parts = Split(e.args, '|');
      s.kind = Kind::kMessageBox;
      s.text = parts[0];
      s.text2 = parts.size() > 1 ? parts[1] : "";
      s.a = parts.size() > 2 ? Number(parts[2]) : 0;
    } else if (e.call == "SetTimer") {
      s.kind = Kind::kSetTimer;
      s.a = Number(args[2]);
    } else if (e.call == "KillTimer") {
      s.kind = Kind::kKillTimer;
      s.a = Number(args[1]);
    } else if (e.call == "WM_TIMER") {
      s.kind = Kind::kTimerDispatch;
    } else if (e.call == "GetEnvironmentVariableA") {
      s.kind = Kind::kEnvironment;
      s.text = args[0];
      s.a = Number(args[1]);
    } else if (e.call == "FindFirstFileA") {
      s.kind = Kind::kFindFirstFile;
      s.text = e.args;
    } else if (e.call == "FindClose") {
      s.kind = Kind::kFindClose;
    } else {
      *error = "cannot replay " + e.Text();
      return false;
    }
    steps_.push_back(std::move(s));
  }
  return true;
}

void* Replay::Handle(const Step& step, void* own) const {
  return step.ownHandle ? own : reinterpret_cast<void*>(step.handle);
}

// Stands in for a stand-in call in a dry run.
__attribute__((noinline)) static void Skip(const void* step) {
  asm volatile("" : : "r"(step) : "memory");
}

#define SEND(call) \
  do {             \
    if (kDry) {    \
      Skip(&s);    \
    } else {       \
      call;        \
    }              \
  } while (0)

template <bool kDry>
void Replay::Steps() {
  const D2xx& ft = Functions();
  uint8_t reply[6];
  uint8_t buffer[256];
  DWORD count = 0, rx = 0, tx = 0, events = 0;
  WIN32_FIND_DATAA found;
  timerIds_.clear();
  for (Step& s : steps_) {
    switch (s.kind) {
      case Kind::kCreateFile:
        SEND(device_ = CreateFileA(s.text.c_str(), s.a, s.b, nullptr, s.c, s.d, nullptr));
        break;
      case Kind::kDeviceIoControl:
        SEND(DeviceIoControl(Handle(s, device_), s.a, s.bytes.data(),
                             static_cast<DWORD>(s.bytes.size()), reply, sizeof reply, &count,
                             nullptr));
        break;
      case Kind::kCloseHandle:
        SEND(CloseHandle(Handle(s, device_)));
        break;
      case Kind::kFtOpen:
        SEND(ft.Open(static_cast<int>(s.a), &ft_));
        break;
      case Kind::kFtClose:
        SEND(ft.Close(Handle(s, ft_)));
        break;
      case Kind::kFtSetBaudRate:
        SEND(ft.SetBaudRate(Handle(s, ft_), s.a));
        break;
      case Kind::kFtSetTimeouts:
        SEND(ft.SetTimeouts(Handle(s, ft_), s.a, s.b));
        break;
      case Kind::kFtSetDataCharacteristics:
        SEND(ft.SetDataCharacteristics(Handle(s, ft_), static_cast<UCHAR>(s.a),
                                       static_cast<UCHAR>(s.b), static_cast<UCHAR>(s.c)));
        break;
      case Kind::kFtSetFlowControl:
        SEND(ft.SetFlowControl(Handle(s, ft_), static_cast<USHORT>(s.a), static_cast<UCHAR>(s.b),
                               static_cast<UCHAR>(s.c)));
        break;
      case Kind::kFtUaSize:
        SEND(ft.EE_UASize(Handle(s, ft_), &count));
        break;
      case Kind::kFtUaRead:
        SEND(ft.EE_UARead(Handle(s, ft_), buffer, s.a, &count));
        break;
      case Kind::kFtUaWrite:
        SEND(ft.EE_UAWrite(Handle(s, ft_), s.bytes.data(), static_cast<DWORD>(s.bytes.size())));
        break;
      case Kind::kFtWrite:
        SEND(ft.Write(Handle(s, ft_), s.bytes.data(), static_cast<DWORD>(s.bytes.size()), &count));
        break;
      case Kind::kFtRead:
        SEND(ft.Read(Handle(s, ft_), buffer, s.a, &count));
        break;
      case Kind::kFtPurge:
        SEND(ft.Purge(Handle(s, ft_), s.a));
        break;
      case Kind::kFtGetStatus:
        SEND(ft.GetStatus(Handle(s, ft_), &rx, &tx, &events));
        break;
      case Kind::kSleep:
        SEND(Sleep(s.a));
        break;
      case Kind::kMessageBeep:
        SEND(MessageBeep(s.a));
        break;
      case Kind::kMessageBox:
        SEND(MessageBoxA(nullptr, s.text.c_str(), s.text2.c_str(), s.a));
        break;
      case Kind::kSetTimer: {
        if (kDry) {
          Skip(&s);
          break;
        }
        UINT_PTR id = SetTimer(nullptr, 0, s.a, IgnoreTimer);
        timers_.push_back(id);
        timerIds_.push_back({s.a, id});
        break;
      }
      case Kind::kKillTimer: {
        // The replay's own timer where it started one; otherwise an identifier that names
        // no timer, which costs the stand-in the same search.
        UINT_PTR id = timerIds_.empty() ? 0 : timerIds_.back().second;
        SEND(KillTimer(nullptr, id));
        break;
      }
      case Kind::kTimerDispatch:
        SEND(hostwin::Pump());
        break;
      case Kind::kEnvironment:
        SEND(GetEnvironmentVariableA(s.text.c_str(), reinterpret_cast<LPSTR>(buffer), s.a));
        break;
      case Kind::kFindFirstFile:
        SEND(find_ = FindFirstFileA(s.text.c_str(), &found));
        break;
      case Kind::kFindClose:
        SEND(FindClose(find_));
        break;
    }
  }
}

#undef SEND

template void Replay::Steps<false>();
template void Replay::Steps<true>();

void Replay::Cleanup() {
  for (UINT_PTR id : timers_) KillTimer(nullptr, id);
  timers_.clear();
}

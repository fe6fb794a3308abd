/*
 * ftd2xx.cpp - a stand-in D2XX library over the simulated bridge boxes of the shared world.
 *
 * Every call takes the world's mutex, acts on the box model, appends one entry to the call
 * log and returns a D2XX status. A handle is valid only in the process that opened it and
 * only until it is closed or its box is set up afresh; a box held open by a process that
 * has ended is closed by the next FT_Open of it, as the system would close the handle of a
 * process that died. FT_Read waits, on the real clock, for the bytes asked for or until the
 * box's read timeout has passed. A fault the control tool armed for the k-th call (of any
 * process) fails that call, cuts its transfer short, or pulls every box out before it.
 */
#include <windows.h>

#include <string.h>

#include <type_traits>

#include "d2xx_functions.h"
#include "ftd2xx/bridge_world.h"

using namespace bridgesim;

namespace {

constexpr DWORD kReadPollMs = 2;
constexpr DWORD kDetachLockMs = 1000;

WorldView g_view;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK MapWorld(PINIT_ONCE, PVOID, PVOID*) {
  WorldOpen(g_view);
  return TRUE;
}

// The process's view of the world, mapped at the first call; null when it cannot be had.
World* SharedWorld() {
  InitOnceExecuteOnce(&g_once, MapWorld, nullptr, nullptr);
  return g_view.world;
}

// Holds the world's mutex for one call.
class Locked {
 public:
  Locked() : world_(SharedWorld()) {
    if (world_ != nullptr && !WorldLock(g_view)) world_ = nullptr;
  }
  ~Locked() {
    if (world_ != nullptr) WorldUnlock(g_view);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  World* get() const { return world_; }

 private:
  World* world_;
};

FT_HANDLE EncodeHandle(uint32_t slot, uint32_t serial) {
  return reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>((serial << 8) | (slot + 1)));
}

// The slot of a handle this process holds, or null.
HandleSlot* SlotOf(World& world, FT_HANDLE handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || value > 0xFFFFFFFFu) return nullptr;
  const uint32_t slot = static_cast<uint32_t>(value & 0xFF) - 1;
  const uint32_t serial = static_cast<uint32_t>(value >> 8);
  if (slot >= kHandleSlots) return nullptr;
  HandleSlot& s = world.handles[slot];
  if (!s.inUse || s.serial != serial || s.pid != GetCurrentProcessId()) return nullptr;
  return &s;
}

// The plugged-in box behind a handle, or -1.
int BoxOf(World& world, FT_HANDLE handle) {
  HandleSlot* slot = SlotOf(world, handle);
  if (slot == nullptr || !world.boxes[slot->box].present) return -1;
  return static_cast<int>(slot->box);
}

bool ProcessAlive(uint32_t pid) {
  if (pid == GetCurrentProcessId()) return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return alive;
}

// Closes box `box` for handles whose process has ended.
void ReclaimFromDeadProcesses(World& world, uint32_t box) {
  for (HandleSlot& slot : world.handles) {
    if (slot.inUse && slot.box == box && !ProcessAlive(slot.pid)) {
      slot.inUse = 0;
      sim::BridgeBoxClose(world.boxes[box]);
    }
  }
}

void RecordData(Call& call, const void* data, DWORD length) {
  const uint32_t n = length < kCallDataBytes ? length : kCallDataBytes;
  if (data != nullptr && n > 0) memcpy(call.data, data, n);
  call.dataLength = static_cast<uint8_t>(n);
}

FT_STATUS Logged(World& world, CallKind kind, int box, FT_STATUS status, uint32_t a0 = 0,
                 uint32_t a1 = 0, uint32_t a2 = 0) {
  Call& call = WorldLogCall(world, kind, box);
  call.status = status;
  call.args[0] = a0;
  call.args[1] = a1;
  call.args[2] = a2;
  return status;
}

// Counts the call against a fault armed by the control tool. An unplug happens here; the
// caller acts on the kFaultError or kFaultShort returned (0: no fault for this call).
uint32_t Arrive(World& world) {
  ++world.callsArrived;
  if (world.faultAt == 0 || world.callsArrived != world.faultAt) return 0;
  world.faultAt = 0;
  if (world.faultKind == kFaultUnplug) {
    for (sim::BridgeBox& box : world.boxes) box.present = false;
    return 0;
  }
  return world.faultKind == kFaultShort ? kFaultShort : kFaultError;
}

uint32_t HandleBits(FT_HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

extern "C" {

FT_STATUS WINAPI FT_Open(int deviceNumber, FT_HANDLE* handle) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtDeviceNotFound;
  const bool failed = Arrive(*world) != 0;
  const bool inRange = deviceNumber >= 0 && deviceNumber < static_cast<int>(kBoxCount);
  const int box = inRange ? deviceNumber : -1;
  if (failed) return Logged(*world, kCallOpen, box, kFtIoError, deviceNumber);
  if (handle == nullptr) return Logged(*world, kCallOpen, box, kFtInvalidParameter, deviceNumber);
  if (!inRange || !world->boxes[box].present) {
    return Logged(*world, kCallOpen, box, kFtDeviceNotFound, deviceNumber);
  }
  sim::BridgeBox& model = world->boxes[box];
  if (model.open) ReclaimFromDeadProcesses(*world, box);
  uint32_t free = kHandleSlots;
  for (uint32_t i = 0; i < kHandleSlots; ++i) {
    if (!world->handles[i].inUse) {
      free = i;
      break;
    }
  }
  if (free == kHandleSlots) {
    return Logged(*world, kCallOpen, box, kFtInsufficientResources, deviceNumber);
  }
  if (!sim::BridgeBoxOpen(model))
    return Logged(*world, kCallOpen, box, kFtDeviceNotOpened, deviceNumber);
  HandleSlot& slot = world->handles[free];
  world->handleSerial = (world->handleSerial + 1) & 0xFFFFFF;
  if (world->handleSerial == 0) world->handleSerial = 1;
  slot.inUse = 1;
  slot.box = static_cast<uint32_t>(box);
  slot.pid = GetCurrentProcessId();
  slot.serial = world->handleSerial;
  *handle = EncodeHandle(free, slot.serial);
  return Logged(*world, kCallOpen, box, kFtOk, deviceNumber, HandleBits(*handle));
}

FT_STATUS WINAPI FT_Close(FT_HANDLE handle) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  HandleSlot* slot = SlotOf(*world, handle);
  if (slot == nullptr) return Logged(*world, kCallClose, -1, kFtInvalidHandle, HandleBits(handle));
  const int box = static_cast<int>(slot->box);
  slot->inUse = 0;
  sim::BridgeBoxClose(world->boxes[box]);
  return Logged(*world, kCallClose, box, failed ? kFtIoError : kFtOk, HandleBits(handle));
}

FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  if (failed) return Logged(*world, kCallSetBaudRate, box, kFtIoError, baud);
  if (box < 0) return Logged(*world, kCallSetBaudRate, box, kFtInvalidHandle, baud);
  world->boxes[box].baud = baud;
  return Logged(*world, kCallSetBaudRate, box, kFtOk, baud);
}

FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  if (failed) return Logged(*world, kCallSetTimeouts, box, kFtIoError, readMs, writeMs);
  if (box < 0) return Logged(*world, kCallSetTimeouts, box, kFtInvalidHandle, readMs, writeMs);
  world->boxes[box].readTimeoutMs = readMs;
  world->boxes[box].writeTimeoutMs = writeMs;
  return Logged(*world, kCallSetTimeouts, box, kFtOk, readMs, writeMs);
}

FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                           UCHAR parity) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  FT_STATUS status = failed ? kFtIoError : kFtInvalidHandle;
  if (!failed && box >= 0) {
    world->boxes[box].wordLength = wordLength;
    world->boxes[box].stopBits = stopBits;
    world->boxes[box].parity = parity;
    status = kFtOk;
  }
  return Logged(*world, kCallSetDataCharacteristics, box, status, wordLength, stopBits, parity);
}

FT_STATUS WINAPI FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  FT_STATUS status = failed ? kFtIoError : kFtInvalidHandle;
  if (!failed && box >= 0) {
    world->boxes[box].flowControl = flow;
    world->boxes[box].xon = xon;
    world->boxes[box].xoff = xoff;
    status = kFtOk;
  }
  return Logged(*world, kCallSetFlowControl, box, status, flow, xon, xoff);
}

FT_STATUS WINAPI FT_EE_UASize(FT_HANDLE handle, LPDWORD size) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  if (failed) return Logged(*world, kCallUaSize, box, kFtIoError);
  if (box < 0) return Logged(*world, kCallUaSize, box, kFtInvalidHandle);
  if (size == nullptr) return Logged(*world, kCallUaSize, box, kFtInvalidParameter);
  if (world->boxes[box].faults.uaSizeFails)
    return Logged(*world, kCallUaSize, box, kFtEepromReadFailed);
  *size = world->boxes[box].userAreaSize;
  return Logged(*world, kCallUaSize, box, kFtOk, *size);
}

FT_STATUS WINAPI FT_EE_UARead(FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD read) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const uint32_t fault = Arrive(*world);
  const int box = BoxOf(*world, handle);
  if (fault == kFaultError) return Logged(*world, kCallUaRead, box, kFtIoError, length);
  if (box < 0) return Logged(*world, kCallUaRead, box, kFtInvalidHandle, length);
  if (data == nullptr || read == nullptr) {
    return Logged(*world, kCallUaRead, box, kFtInvalidParameter, length);
  }
  uint32_t delivered = 0;
  const DWORD asked = fault == kFaultShort && length > 0 ? length - 1 : length;
  const bool ok = sim::BridgeBoxUaRead(world->boxes[box], data, asked, &delivered);
  *read = delivered;
  Call& call = WorldLogCall(*world, kCallUaRead, box);
  call.status = ok ? kFtOk : kFtEepromReadFailed;
  call.args[0] = length;
  call.args[1] = delivered;
  RecordData(call, data, delivered);
  return call.status;
}

FT_STATUS WINAPI FT_EE_UAWrite(FT_HANDLE handle, PUCHAR data, DWORD length) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  FT_STATUS status = failed ? kFtIoError : kFtInvalidHandle;
  if (!failed && box >= 0 && data == nullptr) status = kFtInvalidParameter;
  if (!failed && box >= 0 && data != nullptr) {
    status = sim::BridgeBoxUaWrite(world->boxes[box], data, length) ? kFtOk : kFtEepromWriteFailed;
  }
  Call& call = WorldLogCall(*world, kCallUaWrite, box);
  call.status = status;
  call.args[0] = length;
  RecordData(call, data, length);
  return status;
}

FT_STATUS WINAPI FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD written) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const uint32_t fault = Arrive(*world);
  const int box = BoxOf(*world, handle);
  const bool failed = fault == kFaultError;
  FT_STATUS status = failed ? kFtIoError : kFtInvalidHandle;
  uint32_t taken = 0;
  if (!failed && box >= 0 && (buffer == nullptr || written == nullptr)) {
    status = kFtInvalidParameter;
  }
  if (!failed && box >= 0 && buffer != nullptr && written != nullptr) {
    const DWORD offered = fault == kFaultShort && length > 0 ? length - 1 : length;
    const bool ok = sim::BridgeBoxWrite(world->boxes[box], static_cast<const uint8_t*>(buffer),
                                        offered, &taken);
    *written = taken;
    status = ok ? kFtOk : kFtIoError;
  }
  Call& call = WorldLogCall(*world, kCallWrite, box);
  call.status = status;
  call.args[0] = length;
  call.args[1] = taken;
  RecordData(call, buffer, length);
  return status;
}

FT_STATUS WINAPI FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint32_t got = 0;
  FT_STATUS status = kFtOk;
  int box = -1;
  bool shortRead = false;  // an armed short fault: nothing arrives, the timeout runs out
  const uint64_t startUs = WorldNowUs();
  for (bool first = true;; first = false) {
    uint32_t timeoutMs = 0;
    {
      Locked locked;
      World* world = locked.get();
      if (world == nullptr) return kFtInvalidHandle;
      const uint32_t fault = first ? Arrive(*world) : 0;
      shortRead = shortRead || fault == kFaultShort;
      box = BoxOf(*world, handle);
      if (fault == kFaultError) {
        status = kFtIoError;
        break;
      }
      if (box < 0) {
        status = kFtInvalidHandle;
        break;
      }
      if (buffer == nullptr || read == nullptr) {
        status = kFtInvalidParameter;
        break;
      }
      if (!shortRead) got += sim::BridgeBoxRead(world->boxes[box], out + got, length - got);
      timeoutMs = world->boxes[box].readTimeoutMs;
    }
    const uint64_t elapsedUs = WorldNowUs() - startUs;
    if (got >= length || elapsedUs >= static_cast<uint64_t>(timeoutMs) * 1000u) break;
    const uint64_t leftMs = (static_cast<uint64_t>(timeoutMs) * 1000u - elapsedUs + 999u) / 1000u;
    Sleep(leftMs < kReadPollMs ? static_cast<DWORD>(leftMs) : kReadPollMs);
  }
  if (status == kFtOk) *read = got;
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return status;
  Call& call = WorldLogCall(*world, kCallRead, box);
  call.status = status;
  call.args[0] = length;
  call.args[1] = got;
  call.args[2] = static_cast<uint32_t>((WorldNowUs() - startUs) / 1000u);
  RecordData(call, buffer, got);
  return status;
}

FT_STATUS WINAPI FT_Purge(FT_HANDLE handle, ULONG mask) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  if (failed) return Logged(*world, kCallPurge, box, kFtIoError, mask);
  if (box < 0) return Logged(*world, kCallPurge, box, kFtInvalidHandle, mask);
  if (mask & 1) sim::BridgeBoxPurgeRx(world->boxes[box]);
  return Logged(*world, kCallPurge, box, kFtOk, mask);
}

FT_STATUS WINAPI FT_GetStatus(FT_HANDLE handle, LPDWORD rxQueue, LPDWORD txQueue,
                              LPDWORD eventStatus) {
  Locked locked;
  World* world = locked.get();
  if (world == nullptr) return kFtInvalidHandle;
  const bool failed = Arrive(*world) != 0;
  const int box = BoxOf(*world, handle);
  if (failed) return Logged(*world, kCallGetStatus, box, kFtIoError);
  if (box < 0) return Logged(*world, kCallGetStatus, box, kFtInvalidHandle);
  if (rxQueue == nullptr || txQueue == nullptr || eventStatus == nullptr) {
    return Logged(*world, kCallGetStatus, box, kFtInvalidParameter);
  }
  const sim::BridgeBox& model = world->boxes[box];
  if (model.faults.getStatusFails) return Logged(*world, kCallGetStatus, box, kFtIoError);
  *rxQueue = model.rxCount;
  *txQueue = model.faults.txQueueStuck;
  *eventStatus = 0;
  return Logged(*world, kCallGetStatus, box, kFtOk, *rxQueue, *txQueue, *eventStatus);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_DETACH || g_view.world == nullptr) return TRUE;
  // The handles of a process end with it.
  if (WorldLock(g_view, kDetachLockMs)) {
    World& world = *g_view.world;
    for (HandleSlot& slot : world.handles) {
      if (slot.inUse && slot.pid == GetCurrentProcessId()) {
        slot.inUse = 0;
        sim::BridgeBoxClose(world.boxes[slot.box]);
      }
    }
    WorldUnlock(g_view);
  }
  WorldClose(g_view);
  return TRUE;
}

}  // extern "C"

// The library calls these through pointers typed by the list: on x86 a stand-in of another
// signature would leave the stack unbalanced.
#define D2XX_SAME_SIGNATURE(name, params)                                             \
  static_assert(std::is_same<decltype(&FT_##name), D2XX_POINTER_TYPE(params)>::value, \
                "FT_" #name " differs from d2xx_functions.h");
D2XX_FUNCTIONS(D2XX_SAME_SIGNATURE)
#undef D2XX_SAME_SIGNATURE

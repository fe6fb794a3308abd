// The simulated D2XX library over the bridge-box models.
#include <string.h>

#include "d2xx_exports.h"
#include "d2xx_functions.h"
#include "state.h"

using namespace hostwin;

namespace {

constexpr FT_STATUS kOk = 0;
constexpr FT_STATUS kInvalidHandle = 1;
constexpr FT_STATUS kDeviceNotFound = 2;
constexpr FT_STATUS kIoError = 4;
constexpr FT_STATUS kEepromReadFailed = 11;
constexpr FT_STATUS kEepromWriteFailed = 12;

std::string HandleText(FT_HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  auto it = S().ftHandles.find(value);
  if (it != S().ftHandles.end()) return "h" + std::to_string(it->second);
  if (value == static_cast<uintptr_t>(-1)) return "-1";
  return HexValue(value);
}

enum class Fault { kNone, kError, kShort };

// Counts the call and applies a fault armed for it. Unplugging happens here; the caller
// handles kError and kShort.
Fault Arrive() {
  ++S().ftCalls;
  if (S().ftFaultAt == 0 || S().ftCalls != S().ftFaultAt) return Fault::kNone;
  S().ftFaultAt = 0;
  switch (S().ftFault) {
    case FtFault::kUnplug:
      for (int n = 0; n < kMaxBridgeBoxes; ++n) {
        S().bridgePresent[n] = false;
        S().bridges[n].present = false;
      }
      return Fault::kNone;
    case FtFault::kShort:
      return Fault::kShort;
    case FtFault::kError:
      break;
  }
  return Fault::kError;
}

// The open box behind a handle, or null for a handle no open produced (or whose box was
// pulled out).
sim::BridgeBox* BoxOf(FT_HANDLE handle) {
  auto it = S().ftHandles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == S().ftHandles.end()) return nullptr;
  sim::BridgeBox& box = S().bridges[it->second];
  return box.present ? &box : nullptr;
}

FT_STATUS WINAPI FT_Open(int deviceNumber, FT_HANDLE* handle) {
  TRACE_CALL("FT_Open", std::to_string(deviceNumber));
  if (Arrive() != Fault::kNone) return kIoError;
  if (deviceNumber < 0 || deviceNumber >= kMaxBridgeBoxes || !S().bridgePresent[deviceNumber]) {
    return kDeviceNotFound;
  }
  sim::BridgeBox& box = S().bridges[deviceNumber];
  if (!sim::BridgeBoxOpen(box)) return kDeviceNotFound;
  uintptr_t value =
      static_cast<uintptr_t>(0x10000u + 0x100u * deviceNumber + (++S().handleSerial & 0xFF));
  if (S().nextHandleSet) {
    value = static_cast<uintptr_t>(S().nextHandle);
    S().nextHandleSet = false;
  }
  // A handle that means none (null, -1) opens nothing: every call on it fails.
  if (value != 0 && value != ~uintptr_t{0}) {
    S().ftHandles[value] = deviceNumber;
  } else {
    sim::BridgeBoxClose(box);
  }
  *handle = reinterpret_cast<FT_HANDLE>(value);
  return kOk;
}

FT_STATUS WINAPI FT_Close(FT_HANDLE handle) {
  TRACE_CALL("FT_Close", HandleText(handle));
  bool failed = Arrive() != Fault::kNone;
  auto it = S().ftHandles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == S().ftHandles.end()) return kInvalidHandle;
  sim::BridgeBoxClose(S().bridges[it->second]);
  S().ftHandles.erase(it);
  return failed ? kIoError : kOk;
}

FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
  TRACE_CALL("FT_SetBaudRate", HandleText(handle) + "," + std::to_string(baud));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  box->baud = baud;
  return kOk;
}

FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
  TRACE_CALL("FT_SetTimeouts",
             HandleText(handle) + "," + std::to_string(readMs) + "," + std::to_string(writeMs));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  box->readTimeoutMs = readMs;
  box->writeTimeoutMs = writeMs;
  return kOk;
}

FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                           UCHAR parity) {
  TRACE_CALL("FT_SetDataCharacteristics", HandleText(handle) + "," + std::to_string(wordLength) +
                                              "," + std::to_string(stopBits) + "," +
                                              std::to_string(parity));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  box->wordLength = wordLength;
  box->stopBits = stopBits;
  box->parity = parity;
  return kOk;
}

FT_STATUS WINAPI FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) {
  TRACE_CALL("FT_SetFlowControl", HandleText(handle) + "," + std::to_string(flow) + "," +
                                      std::to_string(xon) + "," + std::to_string(xoff));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  box->flowControl = flow;
  box->xon = xon;
  box->xoff = xoff;
  return kOk;
}

FT_STATUS WINAPI FT_EE_UASize(FT_HANDLE handle, LPDWORD size) {
  TRACE_CALL("FT_EE_UASize", HandleText(handle));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  if (box->faults.uaSizeFails) return kEepromReadFailed;
  *size = box->userAreaSize;
  return kOk;
}

FT_STATUS WINAPI FT_EE_UARead(FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD read) {
  TRACE_CALL("FT_EE_UARead", HandleText(handle) + "," + std::to_string(length));
  Fault fault = Arrive();
  if (fault == Fault::kError) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  uint32_t delivered = 0;
  bool ok = sim::BridgeBoxUaRead(
      *box, data, fault == Fault::kShort && length > 0 ? length - 1 : length, &delivered);
  *read = delivered;
  return ok ? kOk : kEepromReadFailed;
}

FT_STATUS WINAPI FT_EE_UAWrite(FT_HANDLE handle, PUCHAR data, DWORD length) {
  TRACE_CALL("FT_EE_UAWrite", HandleText(handle) + "," + Hex(data, length));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  return sim::BridgeBoxUaWrite(*box, data, length) ? kOk : kEepromWriteFailed;
}

FT_STATUS WINAPI FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD written) {
  TRACE_CALL("FT_Write", HandleText(handle) + "," + Hex(buffer, length));
  Fault fault = Arrive();
  if (fault == Fault::kError) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  uint32_t taken = 0;
  DWORD offered = fault == Fault::kShort && length > 0 ? length - 1 : length;
  bool ok = sim::BridgeBoxWrite(*box, static_cast<const uint8_t*>(buffer), offered, &taken);
  *written = taken;
  return ok ? kOk : kIoError;
}

FT_STATUS WINAPI FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read) {
  TRACE_CALL("FT_Read", HandleText(handle) + "," + std::to_string(length));
  Fault fault = Arrive();
  if (fault == Fault::kError) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  *read =
      fault == Fault::kShort ? 0 : sim::BridgeBoxRead(*box, static_cast<uint8_t*>(buffer), length);
  // No byte within the read timeout: the call returns when the timeout has passed.
  if (*read < length) AdvanceMs(box->readTimeoutMs);
  return kOk;
}

FT_STATUS WINAPI FT_Purge(FT_HANDLE handle, ULONG mask) {
  TRACE_CALL("FT_Purge", HandleText(handle) + "," + std::to_string(mask));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  if (mask & 1) sim::BridgeBoxPurgeRx(*box);
  return kOk;
}

FT_STATUS WINAPI FT_GetStatus(FT_HANDLE handle, LPDWORD rxQueue, LPDWORD txQueue,
                              LPDWORD eventStatus) {
  TRACE_CALL("FT_GetStatus", HandleText(handle));
  if (Arrive() != Fault::kNone) return kIoError;
  sim::BridgeBox* box = BoxOf(handle);
  if (box == nullptr) return kInvalidHandle;
  if (box->faults.getStatusFails) return kIoError;
  *rxQueue = box->rxCount;
  *txQueue = box->faults.txQueueStuck;
  *eventStatus = 0;
  return kOk;
}

struct Export {
  const char* name;
  FARPROC address;
};

}  // namespace

FARPROC FindD2xxExport(const char* name) {
  // The static_cast holds each stand-in to the signature of the list.
#define D2XX_EXPORT_ENTRY(name, params)                                       \
  {D2XX_EXPORT_NAME(name), reinterpret_cast<FARPROC>(reinterpret_cast<void*>( \
                               static_cast<D2XX_POINTER_TYPE(params)>(FT_##name)))},
  static const Export kExports[] = {D2XX_FUNCTIONS(D2XX_EXPORT_ENTRY)};
#undef D2XX_EXPORT_ENTRY
  for (const Export& e : kExports) {
    if (strcmp(e.name, name) == 0) return e.address;
  }
  return nullptr;
}

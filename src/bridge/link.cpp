// Bridge link management: open with retry, close, and the interface open and close
// that select a box for a session.
#include "bridge/bridge.h"

#include "front/session.h"

BridgeLink gBridgeLink;

namespace {

const FT_HANDLE kNoHandle = reinterpret_cast<FT_HANDLE>(-1);

constexpr DWORD kOpenRetryDelayMs = 10;
constexpr ULONG kBaudRate = 9600;
constexpr ULONG kReadTimeoutMs = 50;
constexpr ULONG kWriteTimeoutMs = 0;
constexpr UCHAR kWordLength8 = 8;
constexpr UCHAR kStopBits2 = 2;
constexpr UCHAR kParityNone = 0;
constexpr USHORT kFlowNone = 0;

}  // namespace

FT_HANDLE BridgeOpen(uint8_t index) {
  if (index > kBridgeMaxIndex || !D2xxReady()) return kNoHandle;
  if (gD2xx.Open(index, &gBridgeLink.handle) == FT_OK) return gBridgeLink.handle;
  Sleep(kOpenRetryDelayMs);
  if (gD2xx.Open(index, &gBridgeLink.handle) == FT_OK) return gBridgeLink.handle;
  BridgeClose(index);
  return kNoHandle;
}

void BridgeClose(uint8_t index) {
  if (index > kBridgeMaxIndex || !D2xxReady()) return;
  gD2xx.Close(gBridgeLink.handle);
  gBridgeLink.handle = kNoHandle;
}

int32_t BridgeOpenInterface(uint8_t index) {
  gBridgeLink.localOpenCnt = 0;
  gBridgeLink.index = index;
  gBridgeLink.closed = false;
  gBridgeLink.closedTotal = 0;
  FT_HANDLE handle = BridgeOpen(index);
  if (handle != kNoHandle) {
    gD2xx.SetBaudRate(handle, kBaudRate);
    gD2xx.SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs);
    gD2xx.SetDataCharacteristics(handle, kWordLength8, kStopBits2, kParityNone);
    gD2xx.SetFlowControl(handle, kFlowNone, 0, 0);
    gD2xx.EE_UASize(handle, &gBridgeLink.userAreaSize);
    // Only a complete read replaces the cache: a partial image must never be written back.
    UserAreaImage fresh;
    DWORD read = 0;
    if (gD2xx.EE_UARead(handle, fresh.bytes, kUserAreaImageSize, &read) == FT_OK &&
        read == kUserAreaImageSize) {
      gBridgeLink.image = fresh;
    }
  }
  BridgeClose(index);
  return handle == kNoHandle ? kNotOpen : OpenResultFromHandle(handle);
}

bool BridgeCloseInterface() {
  uint32_t total = UserAreaGet(gBridgeLink.image, UserAreaField::kLastOpenCnt);
  if (gBridgeLink.localOpenCnt != 0) BridgeWriteBackOpenCnt(&total);
  BridgeClose(gBridgeLink.index);
  gBridgeLink.index = kBridgeNoIndex;
  gBridgeLink.closed = true;
  gBridgeLink.closedTotal = total;
  return true;
}

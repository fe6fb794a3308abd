// Bridge link management: open with retry, close, and the interface open and close that
// select a box for a session.
#include "bridge/link.h"

#include "bridge/bridge.h"
#include "common/open_result.h"

BridgeLink gBridgeLink;

namespace {

constexpr DWORD kOpenRetryDelayMs = 10;
constexpr ULONG kBaudRate = 9600;
constexpr ULONG kReadTimeoutMs = 50;
constexpr ULONG kWriteTimeoutMs = 0;
constexpr UCHAR kWordLength8 = 8;
constexpr UCHAR kStopBits2 = 2;
constexpr UCHAR kParityNone = 0;
constexpr USHORT kFlowNone = 0;

// One FT_Open of box 'index' into the link's handle: done for a handle that can be used. An
// FT_OK that hands back no handle (null, or the -1 that means none here) is a failed open,
// whatever it opened closed again.
Status Opened(uint8_t index) {
  const FT_STATUS status = gD2xx.Open(index, &gBridgeLink.handle);
  if (status != FT_OK) {
    gBridgeLink.handle = BridgeNoHandle();
    return Failure(Cause::kNoDevice, "FT_Open", status);
  }
  if (gBridgeLink.handle != nullptr && gBridgeLink.handle != BridgeNoHandle()) return kDone;
  gD2xx.Close(gBridgeLink.handle);
  gBridgeLink.handle = BridgeNoHandle();
  return Failure(Cause::kNoDevice, "FT_Open", FT_OK);
}

}  // namespace

Status BridgeOpen(uint8_t index, DWORD waitMs) {
  if (index >= kBoxes) return Failure(Cause::kNoSuchBox);
  if (!D2xxReady()) return Failure(Cause::kNoLibrary);
  const BoxTurn turn = TakeBoxForOperation(BoxKind::kBridge, index, waitMs);
  if (!turn.taken()) return turn.status;
  gBridgeLink.boxLocked = true;
  gBridgeLink.turn = turn;
  // A holder that died may have left the record half written: read it afresh.
  if (turn.lastHolderDied && index == gBridgeLink.index) gBridgeLink.imageCurrent = false;
  if (Opened(index).ok()) return kDone;
  Sleep(kOpenRetryDelayMs);
  const Status status = Opened(index);
  if (status.ok()) return kDone;
  BridgeClose(index);
  return status;
}

void BridgeClose(uint8_t index) {
  if (index >= kBoxes || !D2xxReady()) return;
  gD2xx.Close(gBridgeLink.handle);
  gBridgeLink.handle = BridgeNoHandle();
  if (gBridgeLink.boxLocked) {
    gBridgeLink.boxLocked = false;
    UnlockBox(BoxKind::kBridge, index);
  }
}

Status BridgeOpenBox(uint8_t index, BridgeOpening* opening, int32_t* opened) {
  const Status status = BridgeOpen(index, kBoxWaitMs);
  const FT_HANDLE handle = gBridgeLink.handle;
  if (status.ok()) {
    gD2xx.SetBaudRate(handle, kBaudRate);
    gD2xx.SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs);
    gD2xx.SetDataCharacteristics(handle, kWordLength8, kStopBits2, kParityNone);
    gD2xx.SetFlowControl(handle, kFlowNone, 0, 0);
    gD2xx.EE_UASize(handle, &opening->userAreaSize);
    gBridgeLink.areaSizeOf[index] = opening->userAreaSize;
    // Only a complete read counts: a partial image must never be written back.
    UserAreaImage fresh;
    DWORD read = 0;
    if (gD2xx.EE_UARead(handle, fresh.bytes, kUserAreaImageSize, &read) == FT_OK &&
        read == kUserAreaImageSize) {
      opening->image = fresh;
      opening->imageRead = true;
    }
  }
  BridgeClose(index);
  if (status.ok()) *opened = OpenResultFromHandle(handle);
  return status;
}

Status BridgeOpenInterface(uint8_t box, CounterSeen* counter, int32_t* opened) {
  gBridgeLink.index = box;
  BridgeOpening opening = {
      .userAreaSize = gBridgeLink.userAreaSize, .image = gBridgeLink.image, .imageRead = false};
  const Status status = BridgeOpenBox(box, &opening, opened);
  gBridgeLink.userAreaSize = opening.userAreaSize;
  gBridgeLink.image = opening.image;
  gBridgeLink.imageCurrent = opening.imageRead;
  if (opening.imageRead) {
    *counter = {.known = true,
                .value = UserAreaGet(opening.image, IdentityField::kLastOpenCnt),
                .writesKnown = false,
                .writes = 0};
  }
  return status;
}

void BridgeCloseInterface() {
  BridgeClose(gBridgeLink.index);
  gBridgeLink.index = kNoBox;
}

void BridgeDetach(UnloadKind kind) {
  // At process exit the system unloads every module itself; releasing another library
  // from here is only safe when this one is unloaded on its own.
  if (kind == UnloadKind::kLibrary) D2xxRelease();
}

// Bridge link management: the open box of one operation (open with retry, close), and the
// interface open and close that select a box for a session.
#include "bridge/link.h"

#include "bridge/bridge.h"
#include "common/open_result.h"

BridgeSession gBridgeSession;

namespace {

constexpr DWORD kOpenRetryDelayMs = 10;
constexpr ULONG kBaudRate = 9600;
constexpr ULONG kReadTimeoutMs = 50;
constexpr ULONG kWriteTimeoutMs = 0;
constexpr UCHAR kWordLength8 = 8;
constexpr UCHAR kStopBits2 = 2;
constexpr UCHAR kParityNone = 0;
constexpr USHORT kFlowNone = 0;

// The -1 handle: an FT_OK that hands it back opened nothing.
FT_HANDLE MinusOneHandle() { return reinterpret_cast<FT_HANDLE>(~uintptr_t{0}); }

}  // namespace

OpenBox::OpenBox(uint8_t box, DWORD waitMs, FailedOpen failed) : box_(box) {
  status_ = Open(waitMs);
  if (!status_.ok() && failed == FailedOpen::kClosedAgain) BridgeCloseLeftHandle(box_);
}

OpenBox::~OpenBox() {
  if (status_.ok()) CloseAndGiveBack();
}

Status OpenBox::Open(DWORD waitMs) {
  if (box_ >= kBoxes) return Failure(Cause::kNoSuchBox);
  if (!D2xxReady()) return Failure(Cause::kNoLibrary);
  turn_ = TakeBoxForOperation(BoxKind::kBridge, box_, waitMs);
  if (!turn_.taken()) return turn_.status;
  // A holder that died may have left the record half written: read it afresh.
  if (turn_.lastHolderDied && box_ == gBridgeSession.box) gBridgeSession.imageCurrent = false;
  if (Attempt().ok()) return kDone;
  Sleep(kOpenRetryDelayMs);
  const Status status = Attempt();
  if (status.ok()) return kDone;
  CloseAndGiveBack();
  return status;
}

// One FT_Open of the box into handle_: done for a handle that can be used. An FT_OK that
// hands back no handle (null, or -1) is a failed open, whatever it opened closed again;
// after a failed open handle_ holds -1.
Status OpenBox::Attempt() {
  gBridgeSession.leftHandle = MinusOneHandle();
  const FT_STATUS status = gD2xx.Open(box_, &handle_);
  if (status != FT_OK) {
    handle_ = MinusOneHandle();
    return Failure(Cause::kNoDevice, "FT_Open", status);
  }
  if (handle_ != nullptr && handle_ != MinusOneHandle()) return kDone;
  gD2xx.Close(handle_);
  handle_ = MinusOneHandle();
  return Failure(Cause::kNoDevice, "FT_Open", FT_OK);
}

// Closes the handle (status ignored) and gives the box back.
void OpenBox::CloseAndGiveBack() {
  gD2xx.Close(handle_);
  UnlockBox(BoxKind::kBridge, box_);
}

void BridgeCloseLeftHandle(uint8_t box) {
  if (box >= kBoxes || !D2xxReady()) return;
  gD2xx.Close(gBridgeSession.leftHandle);
}

Status BridgeSetUpBox(uint8_t box, BridgeOpening* opening, int32_t* opened) {
  const OpenBox open(box);
  if (!open.ok()) return open.status();
  const FT_HANDLE handle = open.handle();
  gD2xx.SetBaudRate(handle, kBaudRate);
  gD2xx.SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs);
  gD2xx.SetDataCharacteristics(handle, kWordLength8, kStopBits2, kParityNone);
  gD2xx.SetFlowControl(handle, kFlowNone, 0, 0);
  gD2xx.EE_UASize(handle, &opening->userAreaSize);
  gBridgeSession.areaSizeOf[box] = opening->userAreaSize;
  // Only a complete read counts: a partial image must never be written back.
  UserAreaImage fresh;
  DWORD read = 0;
  if (gD2xx.EE_UARead(handle, fresh.bytes, kUserAreaImageSize, &read) == FT_OK &&
      read == kUserAreaImageSize) {
    opening->image = fresh;
    opening->imageRead = true;
  }
  *opened = OpenResultFromHandle(handle);
  return kDone;
}

Status BridgeOpenInterface(uint8_t box, CounterSeen* counter, int32_t* opened) {
  gBridgeSession.box = box;
  BridgeOpening opening = {.userAreaSize = gBridgeSession.userAreaSize,
                           .image = gBridgeSession.image,
                           .imageRead = false};
  const Status status = BridgeSetUpBox(box, &opening, opened);
  gBridgeSession.userAreaSize = opening.userAreaSize;
  gBridgeSession.image = opening.image;
  gBridgeSession.imageCurrent = opening.imageRead;
  if (opening.imageRead) {
    *counter = {.known = true,
                .value = UserAreaGet(opening.image, IdentityField::kLastOpenCnt),
                .writesKnown = false,
                .writes = 0};
  }
  return status;
}

void BridgeCloseInterface() {
  BridgeCloseLeftHandle(gBridgeSession.box);
  gBridgeSession.box = kNoBox;
}

void BridgeDetach(UnloadKind kind) {
  // At process exit the system unloads every module itself; releasing another library
  // from here is only safe when this one is unloaded on its own.
  if (kind == UnloadKind::kLibrary) D2xxRelease();
}

// The user-area identity record: layout, and the bridge operations that read and write it.
#include "bridge/bridge.h"
#include "bridge/link.h"
#include "bridge/user_area.h"
#include "common/little_endian.h"
#include "common/trace.h"

namespace {

constexpr uint32_t kCountOffset = 0;
constexpr uint32_t kSerialOffset = 4;
constexpr uint32_t kDateLowOffset = 8;
constexpr uint32_t kDateHighWordOffset = 12;

// Reads the whole record into 'out'. Why not, with 'out' unusable, unless the read returned
// status 0 and exactly 16 bytes. The link's handle must be open.
Status ReadUserArea(UserAreaImage& out) {
  DWORD read = 0;
  FT_STATUS status = gD2xx.EE_UARead(gBridgeLink.handle, out.bytes, kUserAreaImageSize, &read);
  if (status != FT_OK) return Failure(Cause::kRequestFailed, "FT_EE_UARead", status);
  return read == kUserAreaImageSize ? kDone : Failure(Cause::kNoAnswer);
}

// Opens the box for a user-area operation. Why not (box closed again) when it does not
// open or its user area cannot hold the record.
Status OpenForUserArea() {
  Status status = BridgeOpen(gBridgeLink.index);
  if (status.ok() && gBridgeLink.userAreaSize < kUserAreaImageSize) {
    status = Failure(Cause::kNoRecord);
  }
  if (!status.ok()) BridgeClose(gBridgeLink.index);
  return status;
}

// The record 'image' now taken to be the box's: its counter, for the front.
void SeeCounterIn(const UserAreaImage& image, CounterSeen* counter) {
  *counter = {.known = true,
              .value = UserAreaGet(image, IdentityField::kLastOpenCnt),
              .writesKnown = false,
              .writes = 0};
}

Status GetField(IdentityField field, uint32_t* value, CounterSeen* counter) {
  Status status = OpenForUserArea();
  if (!status.ok()) return status;
  UserAreaImage fresh;
  status = ReadUserArea(fresh);
  BridgeClose(gBridgeLink.index);
  if (!status.ok()) return status;
  gBridgeLink.image = fresh;
  gBridgeLink.imageCurrent = true;
  SeeCounterIn(fresh, counter);
  *value = UserAreaGet(fresh, field);
  return kDone;
}

// Writes one field: reads the record from the box first so that only this field's bytes
// change, then writes the record back; nothing is written when that read fails, or when
// the box's lock could not be had. A counter already stored is not written again.
Status SetField(IdentityField field, uint32_t value, CounterSeen* counter) {
  Status status = OpenForUserArea();
  if (!status.ok()) return status;
  UserAreaImage fresh;
  status = MayWriteBox(BoxKind::kBridge, gBridgeLink.index, gBridgeLink.turn)
               ? ReadUserArea(fresh)
               : gBridgeLink.turn.status;
  if (!status.ok()) {
    BridgeClose(gBridgeLink.index);
    return status;
  }
  gBridgeLink.image = fresh;
  gBridgeLink.imageCurrent = true;
  if (field == IdentityField::kLastOpenCnt && UserAreaGet(gBridgeLink.image, field) == value) {
    BridgeClose(gBridgeLink.index);
    SeeCounterIn(gBridgeLink.image, counter);
    return kDone;
  }
  UserAreaPut(gBridgeLink.image, field, value);
  const FT_STATUS written =
      gD2xx.EE_UAWrite(gBridgeLink.handle, gBridgeLink.image.bytes, kUserAreaImageSize);
  BridgeClose(gBridgeLink.index);
  // A write that failed may have landed in part, or not at all: the record is not known.
  if (written != FT_OK) {
    gBridgeLink.imageCurrent = false;
    return Failure(Cause::kRequestFailed, "FT_EE_UAWrite", written);
  }
  SeeCounterIn(gBridgeLink.image, counter);
  return kDone;
}

// Held: the record read in this hold, which a write in it then changes.
Status ReadHeldField(IdentityField field, uint32_t* value, CounterSeen* counter) {
  const Status status = ReadUserArea(gBridgeLink.heldImage);
  if (!status.ok()) return status;
  gBridgeLink.heldImageRead = true;
  if (gBridgeLink.heldIndex == gBridgeLink.index) {
    gBridgeLink.image = gBridgeLink.heldImage;
    gBridgeLink.imageCurrent = true;
  }
  SeeCounterIn(gBridgeLink.heldImage, counter);
  *value = UserAreaGet(gBridgeLink.heldImage, field);
  return kDone;
}

// Held: writes the record read in this hold with the new field; without one, the record
// kept of the session's box, but only when it was read in this session. A hold whose read
// failed is written only by the session's own close, which holds the session's box (the
// front falls back on its copy of the counter there alone), so the record kept is this
// box's.
Status WriteHeldField(IdentityField field, uint32_t value, CounterSeen* counter) {
  const bool sessionBox = gBridgeLink.heldIndex == gBridgeLink.index;
  UserAreaImage record = gBridgeLink.heldImage;
  if (!gBridgeLink.heldImageRead) {
    if (!gBridgeLink.imageCurrent) return Failure(Cause::kRequestFailed);
    record = gBridgeLink.image;
  }
  UserAreaPut(record, field, value);
  const FT_STATUS written = gD2xx.EE_UAWrite(gBridgeLink.handle, record.bytes, kUserAreaImageSize);
  if (written != FT_OK) return Failure(Cause::kRequestFailed, "FT_EE_UAWrite", written);
  gBridgeLink.heldImage = record;
  gBridgeLink.heldImageRead = true;
  if (sessionBox) {
    gBridgeLink.image = record;
    gBridgeLink.imageCurrent = true;
  }
  SeeCounterIn(record, counter);
  return kDone;
}

// The box held for a read-modify-write: open, its lock kept. A box whose lock cannot be
// had (kWithoutLock) or whose user area cannot hold the record (kNoRecord) is not held.
Status HoldBox(uint8_t index, DWORD waitMs) {
  Status status = BridgeOpen(index, waitMs);
  if (!status.ok()) return status;
  DWORD size =
      index == gBridgeLink.index ? gBridgeLink.userAreaSize : gBridgeLink.areaSizeOf[index];
  status = gBridgeLink.turn.status;
  if (status.ok() && size < kUserAreaImageSize) status = Failure(Cause::kNoRecord);
  if (!status.ok()) {
    BridgeClose(index);
    return status;
  }
  gBridgeLink.holding = true;
  gBridgeLink.heldIndex = index;
  gBridgeLink.heldImageRead = false;
  return kDone;
}

void LetGo(uint8_t index) {
  gBridgeLink.holding = false;
  BridgeClose(index);
}

}  // namespace

uint32_t UserAreaGet(const UserAreaImage& image, IdentityField field) {
  const uint8_t* b = image.bytes;
  switch (field) {
    case IdentityField::kLastOpenCnt:
      return GetLe32(b + kCountOffset);
    case IdentityField::kSerialNumber:
      return GetLe32(b + kSerialOffset);
    case IdentityField::kMfgDate:
      return static_cast<uint32_t>(b[kDateLowOffset]) |
             static_cast<uint32_t>(b[kDateLowOffset + 1]) << 8 |
             GetLe32(b + kDateHighWordOffset) << 16;
  }
  return 0;
}

void UserAreaPut(UserAreaImage& image, IdentityField field, uint32_t value) {
  uint8_t* b = image.bytes;
  switch (field) {
    case IdentityField::kLastOpenCnt:
      PutLe32(b + kCountOffset, value);
      break;
    case IdentityField::kSerialNumber:
      PutLe32(b + kSerialOffset, value);
      break;
    case IdentityField::kMfgDate:
      b[kDateLowOffset] = static_cast<uint8_t>(value);
      b[kDateLowOffset + 1] = static_cast<uint8_t>(value >> 8);
      PutLe32(b + kDateHighWordOffset, value >> 16);
      break;
  }
}

Status BridgeReadField(IdentityField field, uint32_t* value, CounterSeen* counter) {
  return GetField(field, value, counter);
}

Status BridgeWriteField(IdentityField field, uint32_t value, CounterSeen* counter) {
  return SetField(field, value, counter);
}

Status BridgeAddToCounter(uint8_t box, CounterAddition& addition, DWORD waitMs, uint32_t* total,
                          CounterSeen* counter) {
  const Status held = HoldBox(box, waitMs);
  if (!held.ok()) return held;
  // A holder that died on the box since the copy was seen may have changed the counter.
  const CounterSeen copy = gBridgeLink.turn.lastHolderDied ? CounterSeen{} : addition.copy;
  uint32_t holds = 0;
  CounterSeen seen = {};
  Status status = ReadHeldField(IdentityField::kLastOpenCnt, &holds, &seen);
  *counter = seen;
  if (!status.ok() && copy.known) {
    holds = copy.value;
    status = kDone;
  }
  if (status.ok()) {
    const uint32_t target = CounterTarget(addition, holds, seen);
    CounterSeen written = {};
    if (target != holds) status = WriteHeldField(IdentityField::kLastOpenCnt, target, &written);
    if (written.known) *counter = written;
    if (status.ok()) {
      *total = target;
    } else {
      NoteWriteInDoubt(addition, holds, target, written);
    }
  }
  LetGo(box);
  return status;
}

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

// Reads the whole record of the open box into 'out'. Why not, with 'out' unusable, unless
// the read returned status 0 and exactly 16 bytes.
Status ReadUserArea(const OpenBox& open, UserAreaImage& out) {
  DWORD read = 0;
  FT_STATUS status = gD2xx.EE_UARead(open.handle(), out.bytes, kUserAreaImageSize, &read);
  if (status != FT_OK) return Failure(Cause::kRequestFailed, "FT_EE_UARead", status);
  return read == kUserAreaImageSize ? kDone : Failure(Cause::kNoAnswer);
}

// Whether the session's box, as opened, may be used for a user-area operation: why not when
// it did not open or its user area cannot hold the record.
Status RecordFits(const OpenBox& open) {
  if (!open.ok()) return open.status();
  return gBridgeSession.userAreaSize < kUserAreaImageSize ? Failure(Cause::kNoRecord) : kDone;
}

// The record 'image' now taken to be the box's: its counter, for the front.
void SeeCounterIn(const UserAreaImage& image, CounterSeen* counter) {
  *counter = {.known = true,
              .value = UserAreaGet(image, IdentityField::kLastOpenCnt),
              .writesKnown = false,
              .writes = 0};
}

Status GetField(IdentityField field, uint32_t* value, CounterSeen* counter) {
  const OpenBox open(gBridgeSession.box);
  Status status = RecordFits(open);
  if (!status.ok()) return status;
  UserAreaImage fresh;
  status = ReadUserArea(open, fresh);
  if (!status.ok()) return status;
  gBridgeSession.image = fresh;
  gBridgeSession.imageCurrent = true;
  SeeCounterIn(fresh, counter);
  *value = UserAreaGet(fresh, field);
  return kDone;
}

// Writes one field: reads the record from the box first so that only this field's bytes
// change, then writes the record back; nothing is written when that read fails, or when
// the box's lock could not be had. A counter already stored is not written again.
Status SetField(IdentityField field, uint32_t value, CounterSeen* counter) {
  const OpenBox open(gBridgeSession.box);
  Status status = RecordFits(open);
  if (!status.ok()) return status;
  UserAreaImage fresh;
  status = MayWriteBox(BoxKind::kBridge, open.box(), open.turn()) ? ReadUserArea(open, fresh)
                                                                  : open.turn().status;
  if (!status.ok()) return status;
  gBridgeSession.image = fresh;
  gBridgeSession.imageCurrent = true;
  if (field == IdentityField::kLastOpenCnt && UserAreaGet(gBridgeSession.image, field) == value) {
    SeeCounterIn(gBridgeSession.image, counter);
    return kDone;
  }
  UserAreaPut(gBridgeSession.image, field, value);
  const FT_STATUS written =
      gD2xx.EE_UAWrite(open.handle(), gBridgeSession.image.bytes, kUserAreaImageSize);
  // A write that failed may have landed in part, or not at all: the record is not known.
  if (written != FT_OK) {
    gBridgeSession.imageCurrent = false;
    return Failure(Cause::kRequestFailed, "FT_EE_UAWrite", written);
  }
  SeeCounterIn(gBridgeSession.image, counter);
  return kDone;
}

// A box held for a read-modify-write of its record: open with its lock kept, and the record
// as read in this hold, which a write in it then changes. A box whose lock cannot be had
// (kWithoutLock) or whose user area cannot hold the record (kNoRecord) is not held (status);
// it is closed again when the hold goes, unread and unwritten.
struct Hold {
  Hold(uint8_t box, DWORD waitMs);
  OpenBox open;
  Status status;
  UserAreaImage image;  // the record read in this hold, or last written in it
  bool imageRead;       // ... when true
  Status unread;        // ... otherwise why not: the failure of its read
};

Hold::Hold(uint8_t box, DWORD waitMs)
    : open(box, waitMs, FailedOpen::kLeft),
      status(open.status()),
      image{},
      imageRead(false),
      unread(Failure(Cause::kRequestFailed)) {
  if (!status.ok()) return;
  DWORD size =
      box == gBridgeSession.box ? gBridgeSession.userAreaSize : gBridgeSession.areaSizeOf[box];
  status = open.turn().status;
  if (status.ok() && size < kUserAreaImageSize) status = Failure(Cause::kNoRecord);
}

// Held: the record read in this hold, which a write in it then changes.
Status ReadHeldField(Hold& hold, IdentityField field, uint32_t* value, CounterSeen* counter) {
  const Status status = ReadUserArea(hold.open, hold.image);
  if (!status.ok()) {
    hold.unread = status;
    return status;
  }
  hold.imageRead = true;
  if (hold.open.box() == gBridgeSession.box) {
    gBridgeSession.image = hold.image;
    gBridgeSession.imageCurrent = true;
  }
  SeeCounterIn(hold.image, counter);
  *value = UserAreaGet(hold.image, field);
  return kDone;
}

// Held: writes the record read in this hold with the new field; without one, the record
// kept of the session's box, but only when it was read in this session. A hold whose read
// failed is written only by the session's own close, which holds the session's box (the
// front falls back on its copy of the counter there alone), so the record kept is this
// box's; where none was read in this session, nothing is written and the read's failure
// says why.
Status WriteHeldField(Hold& hold, IdentityField field, uint32_t value, CounterSeen* counter) {
  const bool sessionBox = hold.open.box() == gBridgeSession.box;
  UserAreaImage record = hold.image;
  if (!hold.imageRead) {
    if (!gBridgeSession.imageCurrent) return hold.unread;
    record = gBridgeSession.image;
  }
  UserAreaPut(record, field, value);
  const FT_STATUS written = gD2xx.EE_UAWrite(hold.open.handle(), record.bytes, kUserAreaImageSize);
  if (written != FT_OK) return Failure(Cause::kRequestFailed, "FT_EE_UAWrite", written);
  hold.image = record;
  hold.imageRead = true;
  if (sessionBox) {
    gBridgeSession.image = record;
    gBridgeSession.imageCurrent = true;
  }
  SeeCounterIn(record, counter);
  return kDone;
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
  Hold hold(box, waitMs);
  if (!hold.status.ok()) return hold.status;
  // A holder that died on the box since the copy was seen may have changed the counter.
  const CounterSeen copy = hold.open.turn().lastHolderDied ? CounterSeen{} : addition.copy;
  uint32_t holds = 0;
  CounterSeen seen = {};
  Status status = ReadHeldField(hold, IdentityField::kLastOpenCnt, &holds, &seen);
  *counter = seen;
  if (!status.ok() && copy.known) {
    holds = copy.value;
    status = kDone;
  }
  if (!status.ok()) return status;
  const uint32_t target = CounterTarget(addition, holds, seen);
  CounterSeen written = {};
  if (target != holds) status = WriteHeldField(hold, IdentityField::kLastOpenCnt, target, &written);
  return SettleAddition(addition, holds, target, status, written, total, counter);
}

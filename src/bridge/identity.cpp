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

// Reads the whole record into 'out'. False, with 'out' unusable, unless the read returned
// status 0 and exactly 16 bytes. The link's handle must be open.
bool ReadUserArea(UserAreaImage& out) {
  DWORD read = 0;
  FT_STATUS status = gD2xx.EE_UARead(gBridgeLink.handle, out.bytes, kUserAreaImageSize, &read);
  return status == FT_OK && read == kUserAreaImageSize;
}

// Opens the box for a user-area operation. False (box closed again) when it does not
// open or its user area cannot hold the record.
bool OpenForUserArea() {
  if (BridgeOpen(gBridgeLink.index) == BridgeNoHandle() ||
      gBridgeLink.userAreaSize < kUserAreaImageSize) {
    BridgeClose(gBridgeLink.index);
    return false;
  }
  return true;
}

// The record 'image' now taken to be the box's: its counter, for the front.
void SeeCounterIn(const UserAreaImage& image, CounterSeen* counter) {
  *counter = {.known = true,
              .value = UserAreaGet(image, IdentityField::kLastOpenCnt),
              .writesKnown = false,
              .writes = 0};
}

bool GetField(IdentityField field, uint32_t* value, CounterSeen* counter) {
  if (!OpenForUserArea()) return false;
  UserAreaImage fresh;
  bool ok = ReadUserArea(fresh);
  BridgeClose(gBridgeLink.index);
  if (!ok) return false;
  gBridgeLink.image = fresh;
  gBridgeLink.imageCurrent = true;
  SeeCounterIn(fresh, counter);
  *value = UserAreaGet(fresh, field);
  return true;
}

// Writes one field: reads the record from the box first so that only this field's bytes
// change, then writes the record back; nothing is written when that read fails, or when
// the box's lock could not be had. A counter already stored is not written again.
bool SetField(IdentityField field, uint32_t value, CounterSeen* counter) {
  if (!OpenForUserArea()) return false;
  UserAreaImage fresh;
  if (!MayWriteBox(BoxKind::kBridge, gBridgeLink.index, gBridgeLink.turn) || !ReadUserArea(fresh)) {
    BridgeClose(gBridgeLink.index);
    return false;
  }
  gBridgeLink.image = fresh;
  gBridgeLink.imageCurrent = true;
  if (field == IdentityField::kLastOpenCnt && UserAreaGet(gBridgeLink.image, field) == value) {
    BridgeClose(gBridgeLink.index);
    SeeCounterIn(gBridgeLink.image, counter);
    return true;
  }
  UserAreaPut(gBridgeLink.image, field, value);
  FT_STATUS status =
      gD2xx.EE_UAWrite(gBridgeLink.handle, gBridgeLink.image.bytes, kUserAreaImageSize);
  BridgeClose(gBridgeLink.index);
  // A write that failed may have landed in part, or not at all: the record is not known.
  if (status != FT_OK) {
    gBridgeLink.imageCurrent = false;
    return false;
  }
  SeeCounterIn(gBridgeLink.image, counter);
  return true;
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

bool BridgeReadField(IdentityField field, uint32_t* value, const CounterSeen*,
                     CounterSeen* counter) {
  if (!gBridgeLink.holding) return GetField(field, value, counter);
  // Held: the record read in this hold, which a write in it then changes.
  if (!ReadUserArea(gBridgeLink.heldImage)) return false;
  gBridgeLink.heldImageRead = true;
  if (gBridgeLink.heldIndex == gBridgeLink.index) {
    gBridgeLink.image = gBridgeLink.heldImage;
    gBridgeLink.imageCurrent = true;
  }
  SeeCounterIn(gBridgeLink.heldImage, counter);
  *value = UserAreaGet(gBridgeLink.heldImage, field);
  return true;
}

// Held: writes the record read in this hold with the new field; without one, the record
// kept of the session's box, but only when it was read in this session. A hold whose read
// failed is written only by the session's own close, which holds the session's box (the
// front falls back on its copy of the counter there alone), so the record kept is this
// box's.
bool BridgeWriteField(IdentityField field, uint32_t value, const uint32_t*, CounterSeen* counter) {
  if (!gBridgeLink.holding) return SetField(field, value, counter);
  const bool sessionBox = gBridgeLink.heldIndex == gBridgeLink.index;
  UserAreaImage record = gBridgeLink.heldImage;
  if (!gBridgeLink.heldImageRead) {
    if (!gBridgeLink.imageCurrent) return false;
    record = gBridgeLink.image;
  }
  UserAreaPut(record, field, value);
  if (gD2xx.EE_UAWrite(gBridgeLink.handle, record.bytes, kUserAreaImageSize) != FT_OK) {
    return false;
  }
  gBridgeLink.heldImage = record;
  gBridgeLink.heldImageRead = true;
  if (sessionBox) {
    gBridgeLink.image = record;
    gBridgeLink.imageCurrent = true;
  }
  SeeCounterIn(record, counter);
  return true;
}

BoxReach BridgeHoldBox(uint8_t index, DWORD waitMs) {
  BoxReach reach = BoxReach::kNoDevice;
  if (BridgeOpen(index, waitMs, &reach) == BridgeNoHandle()) return reach;
  DWORD size =
      index == gBridgeLink.index ? gBridgeLink.userAreaSize : gBridgeLink.areaSizeOf[index];
  if (reach == BoxReach::kReached && size < kUserAreaImageSize) reach = BoxReach::kNoRecord;
  if (reach != BoxReach::kReached) {
    BridgeClose(index);
    return reach;
  }
  gBridgeLink.holding = true;
  gBridgeLink.heldIndex = index;
  gBridgeLink.heldImageRead = false;
  return reach;
}

void BridgeLetGo(uint8_t index) {
  gBridgeLink.holding = false;
  BridgeClose(index);
}

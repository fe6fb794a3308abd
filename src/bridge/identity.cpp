// The user-area identity record: layout, and the bridge operations that read and write it.
#include "bridge/bridge.h"
#include "bridge/link.h"
#include "bridge/user_area.h"
#include "common/little_endian.h"

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
bool OpenForUserArea(DWORD waitMs = kBoxWaitMs, bool* busy = nullptr) {
  if (BridgeOpen(gBridgeLink.index, waitMs, busy) == BridgeNoHandle() ||
      gBridgeLink.userAreaSize < kUserAreaImageSize) {
    BridgeClose(gBridgeLink.index);
    return false;
  }
  return true;
}

uint32_t GetField(UserAreaField field) {
  if (!OpenForUserArea()) return 0;
  UserAreaImage fresh;
  bool ok = ReadUserArea(fresh);
  BridgeClose(gBridgeLink.index);
  if (!ok) return 0;
  gBridgeLink.image = fresh;
  gBridgeLink.imageCurrent = true;
  return UserAreaGet(fresh, field);
}

// Writes one field: reads the record from the box first so that only this field's bytes
// change, then writes the record back. When the read fails and 'cacheFallback' is set, the
// cached record is written instead, but only when it is this box's, read in this session
// (anything else would carry another box's serial number and date into this one);
// otherwise nothing is written. For the counter, 'add'
// is added to the stored value read (or cached) and 'value' is ignored.
struct FieldWrite {
  UserAreaField field;
  uint32_t value;
  bool addToStored;
  uint32_t add;
  bool cacheFallback;
  DWORD waitMs;
};

bool WriteField(const FieldWrite& w, uint32_t* written, bool* busy = nullptr) {
  if (!OpenForUserArea(w.waitMs, busy)) return false;
  UserAreaImage fresh;
  if (ReadUserArea(fresh)) {
    gBridgeLink.image = fresh;
    gBridgeLink.imageCurrent = true;
  } else if (!w.cacheFallback || !gBridgeLink.imageCurrent) {
    BridgeClose(gBridgeLink.index);
    return false;
  }
  uint32_t value = w.value;
  if (w.addToStored) value = UserAreaGet(gBridgeLink.image, w.field) + w.add;
  if (written != nullptr) *written = value;
  if (w.field == UserAreaField::kLastOpenCnt && UserAreaGet(gBridgeLink.image, w.field) == value) {
    BridgeClose(gBridgeLink.index);
    return true;
  }
  UserAreaPut(gBridgeLink.image, w.field, value);
  FT_STATUS status =
      gD2xx.EE_UAWrite(gBridgeLink.handle, gBridgeLink.image.bytes, kUserAreaImageSize);
  BridgeClose(gBridgeLink.index);
  return status == FT_OK;
}

bool SetField(UserAreaField field, uint32_t value) {
  return WriteField(FieldWrite{field, value, false, 0, false, kBoxWaitMs}, nullptr);
}

}  // namespace

uint32_t UserAreaGet(const UserAreaImage& image, UserAreaField field) {
  const uint8_t* b = image.bytes;
  switch (field) {
    case UserAreaField::kLastOpenCnt:
      return GetLe32(b + kCountOffset);
    case UserAreaField::kSerialNumber:
      return GetLe32(b + kSerialOffset);
    case UserAreaField::kMfgDate:
      return static_cast<uint32_t>(b[kDateLowOffset]) |
             static_cast<uint32_t>(b[kDateLowOffset + 1]) << 8 |
             GetLe32(b + kDateHighWordOffset) << 16;
  }
  return 0;
}

void UserAreaPut(UserAreaImage& image, UserAreaField field, uint32_t value) {
  uint8_t* b = image.bytes;
  switch (field) {
    case UserAreaField::kLastOpenCnt:
      PutLe32(b + kCountOffset, value);
      break;
    case UserAreaField::kSerialNumber:
      PutLe32(b + kSerialOffset, value);
      break;
    case UserAreaField::kMfgDate:
      b[kDateLowOffset] = static_cast<uint8_t>(value);
      b[kDateLowOffset + 1] = static_cast<uint8_t>(value >> 8);
      PutLe32(b + kDateHighWordOffset, value >> 16);
      break;
  }
}

uint32_t BridgeGetLastOpenCnt() { return GetField(UserAreaField::kLastOpenCnt); }
uint32_t BridgeGetSerialNumber() { return GetField(UserAreaField::kSerialNumber); }
uint32_t BridgeGetMfgDate() { return GetField(UserAreaField::kMfgDate); }

uint32_t BridgeGetLocalOpenCnt() { return gBridgeLink.localOpenCnt; }

uint32_t BridgeGetTotalOpenCnt() {
  if (gBridgeLink.closed) return gBridgeLink.closedTotal;
  // A cached image that is not this box's says nothing of its counter.
  uint32_t stored =
      gBridgeLink.imageCurrent ? UserAreaGet(gBridgeLink.image, UserAreaField::kLastOpenCnt) : 0;
  return stored + gBridgeLink.localOpenCnt;
}

bool BridgeSetSerialNumber(uint32_t value) { return SetField(UserAreaField::kSerialNumber, value); }
bool BridgeSetMfgDate(uint32_t value) { return SetField(UserAreaField::kMfgDate, value); }
bool BridgeSetLastOpenCnt(uint32_t value) { return SetField(UserAreaField::kLastOpenCnt, value); }

// Write-back at the interface close: stored counter as the box holds it now plus the
// session's openings, so a session of another process in between loses nothing.
bool BridgeWriteBackOpenCnt(uint32_t* total) {
  *total = BridgeGetTotalOpenCnt();
  bool busy = false;
  bool written = WriteField(FieldWrite{UserAreaField::kLastOpenCnt, 0, true,
                                       gBridgeLink.localOpenCnt, true, kBoxCloseWaitMs},
                            total, &busy);
  // Another caller keeps the box: the openings stay owed to it rather than lost.
  if (busy && gBridgeLink.userAreaSize >= kUserAreaImageSize) {
    gBridgeLink.owedOpenings[gBridgeLink.index] += gBridgeLink.localOpenCnt;
    gBridgeLink.openingsOwed = true;
  }
  return written;
}

void BridgeSettleOwedOpenings(DWORD waitMs) {
  if (!gBridgeLink.openingsOwed) return;
  gBridgeLink.openingsOwed = false;
  for (uint8_t index = 0; index <= kBridgeMaxIndex; ++index) {
    uint32_t owed = gBridgeLink.owedOpenings[index];
    if (owed == 0) continue;
    bool busy = false;
    if (BridgeOpen(index, waitMs, &busy) == BridgeNoHandle()) {
      // Still busy: owed on. Gone: lost, as a failed write-back at a close.
      if (!busy) gBridgeLink.owedOpenings[index] = 0;
      if (busy) gBridgeLink.openingsOwed = true;
      continue;
    }
    // This box's own record, read afresh: the session's cache may be another box's.
    UserAreaImage area;
    if (ReadUserArea(area)) {
      UserAreaPut(area, UserAreaField::kLastOpenCnt,
                  UserAreaGet(area, UserAreaField::kLastOpenCnt) + owed);
      gD2xx.EE_UAWrite(gBridgeLink.handle, area.bytes, kUserAreaImageSize);
    }
    BridgeClose(index);
    gBridgeLink.owedOpenings[index] = 0;
  }
}

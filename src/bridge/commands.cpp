// Firmware commands over the bridge box's serial line: drawer kick, switch query and
// firmware-generation query.
#include "bridge/bridge.h"

#include <string.h>

#include "bridge/link.h"

namespace {

// ESC p 0 t1 t2: pulse the drawer output.
UCHAR kKickCommand[] = {0x1B, 0x70, 0x00, 0x61, 0x62};
// ESC v 0: report the drawer switch.
UCHAR kSwitchQuery[] = {0x1B, 0x76, 0x00};
// GS r 1: report the firmware generation.
UCHAR kVersionQuery[] = {0x1D, 0x72, 0x01};

constexpr UCHAR kSwitchStateZeroReply = 0x7D;  // '}'
constexpr UCHAR kVersionNewReplyA = 0x02;
constexpr UCHAR kVersionNewReplyB = 0x50;  // 'P'
const char kVersionNew[] = "FTDI>=1.6";
const char kVersionOld[] = "FTDI<1.6";

Status OpenBox() {
  const Status status = BridgeOpen(gBridgeLink.index);
  if (!status.ok()) BridgeClose(gBridgeLink.index);
  return status;
}

// Sends a query unless the transmit queue still holds bytes; then reads one reply byte.
// Done when a byte arrived.
Status Query(UCHAR* command, DWORD length, DWORD txQueue, UCHAR* reply) {
  if (txQueue == 0) {
    DWORD written = 0;
    gD2xx.Purge(gBridgeLink.handle, FT_PURGE_RX);
    gD2xx.Write(gBridgeLink.handle, command, length, &written);
  }
  DWORD read = 0;
  const FT_STATUS status = gD2xx.Read(gBridgeLink.handle, reply, 1, &read);
  if (status != FT_OK) return Failure(Cause::kRequestFailed, "FT_Read", status);
  return read >= 1 ? kDone : Failure(Cause::kNoAnswer);
}

}  // namespace

Status BridgeKick(bool* counted) {
  *counted = false;
  const Status opened = OpenBox();
  if (!opened.ok()) return opened;
  DWORD written = 0;
  FT_STATUS status = gD2xx.Write(gBridgeLink.handle, kKickCommand, sizeof kKickCommand, &written);
  bool ok = status == FT_OK && written == sizeof kKickCommand;
  if (!ok) MessageBeep(MB_ICONEXCLAMATION);
  BridgeClose(gBridgeLink.index);
  *counted = ok;
  if (status != FT_OK) return Failure(Cause::kRequestFailed, "FT_Write", status);
  return ok ? kDone : Failure(Cause::kNoAnswer);
}

Status BridgeReadSwitch(bool* closed) {
  Status status = OpenBox();
  if (!status.ok()) return status;
  DWORD rxQueue = 0, txQueue = 0, events = 0;
  const FT_STATUS queue = gD2xx.GetStatus(gBridgeLink.handle, &rxQueue, &txQueue, &events);
  if (queue == FT_OK) {
    UCHAR reply = 0;
    status = Query(kSwitchQuery, sizeof kSwitchQuery, txQueue, &reply);
    if (status.ok()) *closed = reply != kSwitchStateZeroReply;
  } else {
    status = Failure(Cause::kRequestFailed, "FT_GetStatus", queue);
  }
  BridgeClose(gBridgeLink.index);
  return status;
}

void BridgeFirmwareText(char* buf) {
  if (!OpenBox().ok()) return;
  DWORD rxQueue = 0, txQueue = 0, events = 0;
  // Without a queue status the query is still sent: the reply decides the text.
  if (gD2xx.GetStatus(gBridgeLink.handle, &rxQueue, &txQueue, &events) != FT_OK) txQueue = 0;
  UCHAR reply = 0;
  bool newer = Query(kVersionQuery, sizeof kVersionQuery, txQueue, &reply).ok() &&
               (reply == kVersionNewReplyA || reply == kVersionNewReplyB);
  if (newer) {
    memcpy(buf, kVersionNew, sizeof kVersionNew);
  } else {
    memcpy(buf, kVersionOld, sizeof kVersionOld);
  }
  BridgeClose(gBridgeLink.index);
}

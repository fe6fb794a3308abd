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

// Sends a query unless the transmit queue still holds bytes; then reads one reply byte.
// Done when a byte arrived; when none did, the write or the purge that failed is why.
Status Query(const OpenBox& open, UCHAR* command, DWORD length, DWORD txQueue, UCHAR* reply) {
  Status sent = kDone;
  if (txQueue == 0) {
    DWORD written = 0;
    const FT_STATUS purged = gD2xx.Purge(open.handle(), FT_PURGE_RX);
    const FT_STATUS wrote = gD2xx.Write(open.handle(), command, length, &written);
    if (wrote != FT_OK) {
      sent = Failure(Cause::kRequestFailed, "FT_Write", wrote);
    } else if (purged != FT_OK) {
      sent = Failure(Cause::kRequestFailed, "FT_Purge", purged);
    }
  }
  DWORD read = 0;
  const FT_STATUS status = gD2xx.Read(open.handle(), reply, 1, &read);
  if (status != FT_OK) return Failure(Cause::kRequestFailed, "FT_Read", status);
  if (read >= 1) return kDone;
  return sent.ok() ? Failure(Cause::kNoAnswer) : sent;
}

}  // namespace

Status BridgeKick(bool* counted) {
  *counted = false;
  const OpenBox open(gBridgeSession.box);
  if (!open.ok()) return open.status();
  DWORD written = 0;
  FT_STATUS status = gD2xx.Write(open.handle(), kKickCommand, sizeof kKickCommand, &written);
  bool ok = status == FT_OK && written == sizeof kKickCommand;
  if (!ok) MessageBeep(MB_ICONEXCLAMATION);
  *counted = ok;
  if (status != FT_OK) return Failure(Cause::kRequestFailed, "FT_Write", status);
  return ok ? kDone : Failure(Cause::kNoAnswer);
}

Status BridgeReadSwitch(bool* closed) {
  const OpenBox open(gBridgeSession.box);
  if (!open.ok()) return open.status();
  DWORD rxQueue = 0, txQueue = 0, events = 0;
  const FT_STATUS queue = gD2xx.GetStatus(open.handle(), &rxQueue, &txQueue, &events);
  if (queue != FT_OK) return Failure(Cause::kRequestFailed, "FT_GetStatus", queue);
  UCHAR reply = 0;
  const Status status = Query(open, kSwitchQuery, sizeof kSwitchQuery, txQueue, &reply);
  if (status.ok()) *closed = reply != kSwitchStateZeroReply;
  return status;
}

void BridgeFirmwareText(char* buf) {
  const OpenBox open(gBridgeSession.box);
  if (!open.ok()) return;
  DWORD rxQueue = 0, txQueue = 0, events = 0;
  // Without a queue status the query is still sent: the reply decides the text.
  if (gD2xx.GetStatus(open.handle(), &rxQueue, &txQueue, &events) != FT_OK) txQueue = 0;
  UCHAR reply = 0;
  bool newer = Query(open, kVersionQuery, sizeof kVersionQuery, txQueue, &reply).ok() &&
               (reply == kVersionNewReplyA || reply == kVersionNewReplyB);
  if (newer) {
    memcpy(buf, kVersionNew, sizeof kVersionNew);
  } else {
    memcpy(buf, kVersionOld, sizeof kVersionOld);
  }
}

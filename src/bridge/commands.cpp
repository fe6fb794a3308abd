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

bool OpenBox() {
  if (BridgeOpen(gBridgeLink.index) != BridgeNoHandle()) return true;
  BridgeClose(gBridgeLink.index);
  return false;
}

// Sends a query unless the transmit queue still holds bytes; then reads one reply byte.
// True when a byte arrived.
bool Query(UCHAR* command, DWORD length, DWORD txQueue, UCHAR* reply) {
  if (txQueue == 0) {
    DWORD written = 0;
    gD2xx.Purge(gBridgeLink.handle, FT_PURGE_RX);
    gD2xx.Write(gBridgeLink.handle, command, length, &written);
  }
  DWORD read = 0;
  return gD2xx.Read(gBridgeLink.handle, reply, 1, &read) == FT_OK && read >= 1;
}

}  // namespace

KickResult BridgeKick() {
  if (!OpenBox()) return kNotKicked;
  DWORD written = 0;
  FT_STATUS status = gD2xx.Write(gBridgeLink.handle, kKickCommand, sizeof kKickCommand, &written);
  bool ok = status == FT_OK && written == sizeof kKickCommand;
  if (!ok) MessageBeep(MB_ICONEXCLAMATION);
  BridgeClose(gBridgeLink.index);
  return KickResult{.reached = ok, .counted = ok};
}

bool BridgeReadSwitch(bool* readNow) {
  *readNow = false;
  if (!OpenBox()) return false;
  bool closed = false;
  DWORD rxQueue = 0, txQueue = 0, events = 0;
  if (gD2xx.GetStatus(gBridgeLink.handle, &rxQueue, &txQueue, &events) == FT_OK) {
    UCHAR reply = 0;
    if (Query(kSwitchQuery, sizeof kSwitchQuery, txQueue, &reply)) {
      closed = reply != kSwitchStateZeroReply;
      *readNow = true;
    }
  }
  BridgeClose(gBridgeLink.index);
  return closed;
}

void BridgeFirmwareText(char* buf) {
  if (!OpenBox()) return;
  DWORD rxQueue = 0, txQueue = 0, events = 0;
  // Without a queue status the query is still sent: the reply decides the text.
  if (gD2xx.GetStatus(gBridgeLink.handle, &rxQueue, &txQueue, &events) != FT_OK) txQueue = 0;
  UCHAR reply = 0;
  bool newer = Query(kVersionQuery, sizeof kVersionQuery, txQueue, &reply) &&
               (reply == kVersionNewReplyA || reply == kVersionNewReplyB);
  if (newer) {
    memcpy(buf, kVersionNew, sizeof kVersionNew);
  } else {
    memcpy(buf, kVersionOld, sizeof kVersionOld);
  }
  BridgeClose(gBridgeLink.index);
}

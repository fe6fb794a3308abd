// The bridge backend's own state and the link operations its other files build on.
// Not for the front: the front sees bridge/bridge.h only.
#ifndef TEVRO_BRIDGE_LINK_H
#define TEVRO_BRIDGE_LINK_H

#include <windows.h>
#include <stdint.h>

#include "bridge/d2xx.h"
#include "bridge/user_area.h"
#include "common/box_lock.h"
#include "common/contract.h"

// The handle value that stands for no open box.
inline FT_HANDLE BridgeNoHandle() { return reinterpret_cast<FT_HANDLE>(-1); }

struct BridgeLink {
  FT_HANDLE handle;    // the open box inside one operation; BridgeNoHandle() otherwise
  uint8_t index;       // selected box (D2XX device number); kNoBox when none
  DWORD userAreaSize;  // user-area size reported at the last interface open
  // The record of the addressed box, kept for writes that were not preceded by a read in
  // the same hold; the front keeps the session's counter (front/counter_copy.h).
  UserAreaImage image;  // cached copy of the first 16 user-area bytes
  bool imageCurrent;    // image came from a complete read of this box in this session
  bool boxLocked;       // the open box is locked (common/box_lock.h)
  BoxTurn turn;         // ... and how: whether it may be written
  // The box held for the front's counter write-back (BridgeHoldBox .. BridgeLetGo), and its
  // record as read in that hold.
  bool holding;
  uint8_t heldIndex;
  UserAreaImage heldImage;
  bool heldImageRead;
  DWORD areaSizeOf[kBoxes];  // user-area size box N reported when last opened
};

// Zero-filled at load; written by the session operations and the operations they call.
extern BridgeLink gBridgeLink;

// Takes box 'index' (waiting at most waitMs) and opens it into the link's handle, with one
// retry after 10 ms. Done, the handle open (without its lock when gBridgeLink.turn says so);
// otherwise nothing held: the box is busy, both attempts failed (after a BridgeClose), the
// D2XX library cannot be used, or the index is above 9.
Status BridgeOpen(uint8_t index, DWORD waitMs = kBoxWaitMs);
// Closes the link's handle (status ignored), sets it to BridgeNoHandle() and gives the box
// back; nothing for an index above 9.
void BridgeClose(uint8_t index);

// What opening a box for a session learns: the user-area size and, when the read was
// complete, the first 16 bytes of the user area.
struct BridgeOpening {
  DWORD userAreaSize;
  UserAreaImage image;
  bool imageRead;
};
// Opens box 'index', sets up its line, reads its user area into *opening, closes it again.
// Done, *opened then the open result; otherwise why not. Touches only the link's handle. A
// failed FT_EE_UASize leaves opening->userAreaSize as the caller set it.
Status BridgeOpenBox(uint8_t index, BridgeOpening* opening, int32_t* opened);

#endif  // TEVRO_BRIDGE_LINK_H

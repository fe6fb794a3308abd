// The bridge backend's own state and the link operations its other files build on.
// Not for the front: the front sees bridge/bridge.h only.
//
// Two kinds of state, kept apart. What one operation has open is an OpenBox: made where the
// operation begins, handed by reference to what it calls, closed when it goes. What the
// backend keeps from one exported call to the next is gBridgeSession, and nothing else.
#ifndef TEVRO_BRIDGE_LINK_H
#define TEVRO_BRIDGE_LINK_H

#include <windows.h>
#include <stdint.h>

#include "bridge/d2xx.h"
#include "bridge/user_area.h"
#include "common/box_lock.h"
#include "common/contract.h"
#include "common/status.h"

// What persists between exported calls: the box the session addresses and what its open
// learned, and the user-area size each box reported.
struct BridgeSession {
  uint8_t box;         // the session's box (D2XX device number); kNoBox when none
  DWORD userAreaSize;  // user-area size reported at the last session open
  // The record of the session's box, kept for writes that were not preceded by a read in
  // the same hold; the front keeps the session's counter (front/counter_copy.h).
  UserAreaImage image;       // copy of the first 16 user-area bytes
  bool imageCurrent;         // image came from a complete read of this box in this session
  DWORD areaSizeOf[kBoxes];  // user-area size box N reported when last opened
  // The handle value the last open left: null until an open was tried, -1 from then on (a
  // handle that opened is no longer the last open's once it is closed). A close with nothing
  // open hands it to FT_Close, as the library always has (the call fails harmlessly; the D2XX
  // calls a box sees stay the same).
  FT_HANDLE leftHandle;
};

// Zero-filled at load; written by the session open and close, the scan with no session on
// this backend, and the record's reads and writes on the session's box.
extern BridgeSession gBridgeSession;

// What an open that fails does besides: for a box the D2XX library could be asked for, the
// single operations and the session open hand FT_Close the handle value it left once more,
// as they always have (the call fails harmlessly; the calls the library sees stay the same).
// A hold never did.
enum class FailedOpen : uint8_t { kClosedAgain, kLeft };

// One operation's open box: box 'box' taken (waiting at most waitMs) and opened, with one
// retry after 10 ms; closed and given back when the object goes. ok(): open, without its
// lock when turn() says so. Otherwise status() says why, and nothing is held: the box is
// busy or a squatter's, both attempts failed (an FT_OK with a null or -1 handle is a failed
// one), the D2XX library cannot be used, or the box is above 9.
class OpenBox {
 public:
  explicit OpenBox(uint8_t box, DWORD waitMs = kBoxWaitMs,
                   FailedOpen failed = FailedOpen::kClosedAgain);
  ~OpenBox();
  OpenBox(const OpenBox&) = delete;
  OpenBox& operator=(const OpenBox&) = delete;

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  uint8_t box() const { return box_; }
  FT_HANDLE handle() const { return handle_; }   // the open handle, while ok()
  const BoxTurn& turn() const { return turn_; }  // how the box was taken, while ok()

 private:
  Status Open(DWORD waitMs);
  Status Attempt();
  void CloseAndGiveBack();

  uint8_t box_;
  FT_HANDLE handle_ = nullptr;
  BoxTurn turn_ = {};
  Status status_ = kDone;
};

// The close of box 'box' when no operation has it open, as the session close and the scan's
// probes make it: FT_Close of the handle value the last open left (-1 once any open was
// tried), for box 0..9 with the D2XX library bound. Gives back no box.
void BridgeCloseLeftHandle(uint8_t box);

// What opening a box for a session learns: the user-area size and, when the read was
// complete, the first 16 bytes of the user area.
struct BridgeOpening {
  DWORD userAreaSize;
  UserAreaImage image;
  bool imageRead;
};
// Opens box 'box', sets up its line, reads its user area into *opening, closes it again;
// notes the size in gBridgeSession.areaSizeOf. Done, *opened then the open result;
// otherwise why not. A failed FT_EE_UASize leaves opening->userAreaSize as the caller set it.
Status BridgeSetUpBox(uint8_t box, BridgeOpening* opening, int32_t* opened);

#endif  // TEVRO_BRIDGE_LINK_H

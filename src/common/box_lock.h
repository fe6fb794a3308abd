// One box, many callers. Every operation on a box, from its device open to its device
// close, holds a named mutex for that box, so the operations of all processes on the
// machine (x86 and x64 alike, a service in session 0 beside the desktop's programs: the
// names are global) take turns on it instead of mixing their requests.
//
// Beside each driver-port box's mutex lies a small record every process maps
// (driverport/box_record.h), opened where the mutex was had and closed with the mutexes.
#ifndef TEVRO_COMMON_BOX_LOCK_H
#define TEVRO_COMMON_BOX_LOCK_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"
#include "common/status.h"

// How long an operation waits for a box another caller is using, and how long a session
// close waits to write the session's openings back.
constexpr DWORD kBoxWaitMs = 5000;
constexpr DWORD kBoxCloseWaitMs = 30000;

// A box taken for an operation, or why not.
struct BoxTurn {
  Status status;        // done: taken, may be written; kWithoutLock: taken without its mutex
                        // (its name is another object's, or refuses us), read, never written;
                        // kBusy: another caller kept it for the whole wait, nothing taken;
                        // kSquatted: not to be used, nothing taken
  bool lastHolderDied;  // the last holder died inside an operation: what it was writing to the
                        // box may be half written
  bool taken() const { return status.ok() || status.is(Cause::kWithoutLock); }
};

// True when box (kind, box)'s mutex, or what lies beside it (MarkBoxSquatted), was found made
// by another program that lets others change its security (a squatter's): the box is then not
// used (traced once). Opens the box's mutexes at first use; the driver port opens its record
// before it takes the box.
bool BoxSquatted(BoxKind kind, uint8_t box);
// Takes box (kind, box), box 0..9, for one operation, waiting at most waitMs: done, kBusy or
// kWithoutLock. Boxes above 9 have no mutex: taken at once, without a system call.
BoxTurn LockBox(BoxKind kind, uint8_t box, DWORD waitMs);
// Gives back what LockBox took.
void UnlockBox(BoxKind kind, uint8_t box);

// Takes box (kind, box) for one operation, as both backends take it, waiting at most
// waitMs (LockBox); kSquatted for a squatter's box. A last holder that died is traced and
// counted (DeadHoldersFound). When taken(), UnlockBox gives it back.
BoxTurn TakeBoxForOperation(BoxKind kind, uint8_t box, DWORD waitMs);
// True when 'turn' lets the box be written; otherwise traces that the write is refused.
bool MayWriteBox(BoxKind kind, uint8_t box, const BoxTurn& turn);
// How many times this process took box (kind, box) after a holder that died: a copy of
// what the box stores, taken when the count was lower, is no longer to be trusted.
uint32_t DeadHoldersFound(BoxKind kind, uint8_t box);
// Closes the mutexes of this process and what lies beside them (at unload).
void CloseBoxes();

// Where box (kind, box)'s lock lies, its mutexes opened at first use as LockBox opens them:
// the machine's mutex (its session twin maybe beside it), the session's standing in for it,
// neither, or a squatter's. What lies beside a box's lock (the driver port's shared record)
// lies where it does.
enum class BoxLockPlace : uint8_t { kMachine, kSession, kNone, kSquatted };
BoxLockPlace WhereBoxLockIs(BoxKind kind, uint8_t box);
// What lies beside box (kind, box)'s lock ('what': "record") was found made by a squatter:
// the box is not used from now on; traced once, as a squatter's mutex is.
void MarkBoxSquatted(BoxKind kind, uint8_t box, const char* what);
// What lies beside the locks is closed with them: CloseBoxes calls 'close' once the mutexes
// are closed. One closer is kept, the last one set; only the driver port sets it, for its
// boxes' shared records (driverport/box_record.cpp).
void CloseWithBoxes(void (*close)());

#endif  // TEVRO_COMMON_BOX_LOCK_H

// One box, many callers. Every operation on a box, from its device open to its device
// close, holds a named mutex for that box, so the operations of all processes on the
// machine (x86 and x64 alike, a service in session 0 beside the desktop's programs: the
// names are global) take turns on it instead of mixing their requests.
//
// Beside each driver-port box's mutex lies a small record in a file every process maps: the pulse
// running on the box, whichever process wrote it, so that no process cuts another's pulse
// short or kicks into it, and a pulse whose process died is still released; and what the
// last holder may have left half done on the box's EEPROM, so that the next instruction of
// any process begins cleanly.
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

// True when box (kind, index)'s mutex or record was found made by another program that
// lets others change its security (a squatter's): the box is then not used (traced once).
bool BoxSquatted(BoxKind kind, uint8_t index);
// Takes box (kind, index 0..9) for one operation, waiting at most waitMs: done, kBusy or
// kWithoutLock. Boxes above 9 have no mutex: taken at once, without a system call.
BoxTurn LockBox(BoxKind kind, uint8_t index, DWORD waitMs);
// Gives back what LockBox took.
void UnlockBox(BoxKind kind, uint8_t index);

// Takes box (kind, index) for one operation, as both backends take it, waiting at most
// waitMs (LockBox); kSquatted for a squatter's box. A last holder that died is traced and
// counted (DeadHoldersFound). When taken(), UnlockBox gives it back.
BoxTurn TakeBoxForOperation(BoxKind kind, uint8_t index, DWORD waitMs);
// True when 'turn' lets the box be written; otherwise traces that the write is refused.
bool MayWriteBox(BoxKind kind, uint8_t index, const BoxTurn& turn);
// How many times this process took box (kind, index) after a holder that died: a copy of
// what the box stores, taken when the count was lower, is no longer to be trusted.
uint32_t DeadHoldersFound(BoxKind kind, uint8_t index);
// Closes the mutexes and the shared records of this process (at unload).
void CloseBoxes();

// What the shared record of a driver-port box knows of its EEPROM. A record without
// kEepromKnown (one just made, or last written by an earlier version of the library) knows
// nothing: the part may still be programming.
constexpr uint32_t kEepromUnsure = 0x1;         // the last deselect may not have arrived
constexpr uint32_t kEepromWritesEnabled = 0x2;  // a write enable may still be in force
constexpr uint32_t kEepromProgramming = 0x4;    // a byte written may still be programming
constexpr uint32_t kEepromKnown = 0x8;          // a holder recorded how it left the part
constexpr uint32_t kEepromStateBits = 0xFF;
// Above those bits: the writes of the opening counter that any process began, counting up
// (and wrapping). Kept in the same word so the record's layout stays that of earlier
// versions, which leave these bits alone.
constexpr uint32_t kCounterWriteStep = 0x100;

// The shared record of driver-port box 'index': the running pulse and the EEPROM's state,
// as all processes see them. Read and written only while the box is taken. Same layout on
// x86 and x64.
struct SharedBoxRecord {
  uint32_t ownerPid;     // 0 when no pulse is running
  uint32_t eepromState;  // the kEeprom* bits, and the counter's writes
  uint64_t ownerStart;   // the owner process's creation time, so a reused id is not taken for it
  int64_t writtenAt;     // performance counter when the pulse was written
};

// The record of box 'index' (0..9), or null when it cannot be had (then each process
// knows only its own pulses, and every EEPROM operation starts as after a failure) or is a
// squatter's (the box is then not used at all). The machine's record is a file,
// %ProgramData%\TEVRO\port.N.record, which outlives the processes; the session's, shared
// memory, is used when that cannot be had.
SharedBoxRecord* PortSharedRecord(uint8_t index);
// The record of box 'index' when this process has it already; never a system call.
SharedBoxRecord* PortSharedRecordIfOpen(uint8_t index);

// Stamps the record as this process's pulse written at 'writtenAt'; clears the pulse.
void ClaimPulse(SharedBoxRecord* record, int64_t writtenAt);
void ClearPulse(SharedBoxRecord* record);

// Who a running pulse belongs to. A process that cannot be opened for lack of rights is
// alive; one that no longer exists, has ended, or is another process under a reused id is
// gone. kUnknown: there is no record to ask.
enum class PulseOwner : uint8_t { kNone, kThisProcess, kOtherProcess, kGoneProcess, kUnknown };
PulseOwner OwnerOf(const SharedBoxRecord* record);

#endif  // TEVRO_COMMON_BOX_LOCK_H

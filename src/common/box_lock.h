// One box, many callers. Every operation on a box, from its device open to its device
// close, holds a named mutex for that box, so the operations of all processes in the logon
// session (x86 and x64 alike: the names are the same) take turns on it instead of mixing
// their requests. Programs in other logon sessions (a service beside a desktop program)
// use other names and are not excluded.
//
// Beside each driver-port box's mutex lies a small record in shared memory: the pulse
// running on the box, whichever process wrote it, so that no process cuts another's pulse
// short or kicks into it, and a pulse whose process died is still released.
#ifndef TEVRO_COMMON_BOX_LOCK_H
#define TEVRO_COMMON_BOX_LOCK_H

#include <windows.h>
#include <stdint.h>

enum class BoxKind : uint8_t { kBridge, kPort };

// How long an operation waits for a box another caller is using, and how long a session
// close waits to write the session's openings back.
constexpr DWORD kBoxWaitMs = 5000;
constexpr DWORD kBoxCloseWaitMs = 30000;

enum class BoxTake : uint8_t {
  kTaken,      // the box is the caller's until GiveBox
  kAbandoned,  // the caller's, but the last holder died inside an operation
  kBusy,       // another caller kept it for the whole wait; nothing is held
};

// Takes box (kind, index 0..9) for one operation, waiting at most waitMs. Boxes above 9
// have no mutex: taken at once, without a system call. A mutex that cannot be made leaves
// the box unguarded rather than unusable.
BoxTake TakeBox(BoxKind kind, uint8_t index, DWORD waitMs);
// Gives back what TakeBox took.
void GiveBox(BoxKind kind, uint8_t index);
// Closes the mutexes and the shared records of this process (at unload).
void CloseBoxes();

// The name of this library's object 'suffix' in the logon session's namespace
// ("Local\TEVRO.{...}.<suffix>"): no other program's object carries it.
void FormObjectName(char (&name)[96], const char* suffix);

// The running pulse of driver-port box 'index' as all processes see it. Read and written
// only while the box is taken. Same layout on x86 and x64.
struct SharedPulse {
  uint32_t ownerPid;  // 0 when no pulse is running
  uint32_t reserved;
  uint64_t ownerStart;  // the owner process's creation time, so a reused id is not taken for it
  int64_t writtenAt;    // performance counter when the pulse was written
};

// The record of box 'index' (0..9), or null when it cannot be had (then each process
// knows only its own pulses).
SharedPulse* PortSharedPulse(uint8_t index);

// Stamps the record as this process's pulse written at 'writtenAt'; clears it.
void ClaimPulse(SharedPulse* pulse, int64_t writtenAt);
void ClearPulse(SharedPulse* pulse);

// Who a running pulse belongs to.
enum class PulseOwner : uint8_t { kNone, kThisProcess, kOtherProcess, kGoneProcess };
PulseOwner OwnerOf(const SharedPulse* pulse);

#endif  // TEVRO_COMMON_BOX_LOCK_H

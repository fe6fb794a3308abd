// What came of an operation inside the library: done, or the one cause that a caller or a
// support person would tell apart from the others, with the system's own word on it where
// there was one (the Win32 error of the call that failed, or its D2XX status). Every
// operation of the backends gives one; the exports turn it into their documented results in
// one place (front/results.h), and a failure is written to the trace once, with its cause
// and code.
#ifndef TEVRO_COMMON_STATUS_H
#define TEVRO_COMMON_STATUS_H

#include <stdint.h>

#include "common/contract.h"

enum class Cause : uint8_t {
  kNone,           // done
  kBusy,           // another caller kept the box for the whole wait; nothing was opened
  kNoDevice,       // the box's device could not be opened at all: it may be gone
  kNoAnswer,       // the device opened, but the box did not answer as it should
  kRequestFailed,  // a request to the box, or a D2XX call, failed
  kWithoutLock,    // the box's lock (its mutex) cannot be had: it is not written now
  kSquatted,       // the box's lock or record is a squatter's: the box is not used
  kNoRecord,       // the box cannot keep the record (a bridge box whose user area is too small)
  kNotReady,       // the box's EEPROM did not show ready: nothing more goes into it
  kPulseRunning,   // a drawer pulse runs on the box: no kick now
  kNoLibrary,      // the D2XX library is not in the system folder, or cannot be bound
  kNoSuchBox,      // the box number is beyond the boxes there can be
};

struct Status {
  Cause cause;
  uint32_t code;     // the system's error or status where it said why; 0 otherwise
  const char* call;  // the system call that gave 'code'; null when none did
  constexpr bool ok() const { return cause == Cause::kNone; }
  constexpr bool is(Cause c) const { return cause == c; }
};

constexpr Status kDone = {Cause::kNone, 0, nullptr};

// A failure of 'cause'; 'call' and 'code' when a system call said why.
constexpr Status Failure(Cause cause, const char* call = nullptr, uint32_t code = 0) {
  return Status{cause, code, call};
}

// What the trace says of 'cause': "its device could not be opened".
const char* CauseText(Cause cause);

// Writes the failure of an operation on box (kind, box) to the trace where it happened: one
// line ("failure: port 0: its device could not be opened (CreateFileA: error 2)"), not again
// while it is the last failure seen on that box (a success forgets it), and none for a cause
// whose line the trace has from where it happened (a wait given up, a lock or record refused
// or a squatter's, a part not ready, the D2XX library, a pulse running). Returns 'status'.
const Status& ReportFailure(BoxKind kind, uint8_t box, const Status& status);

#endif  // TEVRO_COMMON_STATUS_H

// What came of trying to reach a box for an operation: the one failure type of both
// backends.
#ifndef TEVRO_COMMON_BOX_REACH_H
#define TEVRO_COMMON_BOX_REACH_H

#include <stdint.h>

enum class BoxReach : uint8_t {
  kReached,    // the box is open and taken for the operation
  kBusy,       // another caller kept the box for the whole wait; nothing was opened
  kNoDevice,   // the box's device could not be opened at all: it is not there
  kNoAnswer,   // the device opened, but the box did not answer as it should
  kUnguarded,  // the box's turn cannot be had (its mutex): it is not written now
  kNoRecord,   // the box cannot keep the record (a bridge box whose user area is too small)
};

#endif  // TEVRO_COMMON_BOX_REACH_H

// Openings to be written into a box's stored counter, and the one rule both backends add
// them by: read the counter, add, write, in one turn on the box.
//
// A write that failed may have landed in part, or not at all. While no other caller has
// begun a write of the counter since (where the box keeps a count of those writes), the next
// try tells by what the box holds: the value that write meant, and it landed; only bytes of
// the value it replaced and of the value it meant, and it is finished with the value it
// meant. Once another caller has written it, or the box holds anything else, the openings are
// added to what it holds: an opening is never lost, and is counted twice only where the
// failed write had landed before the other caller read the counter.
//
// Both backends add by this rule: either box's write may land in part (the driver port
// programs the counter byte by byte; the bridge's user-area write is no more atomic). The
// count of counter writes is the driver port's (driverport/box_record.h); here and in
// CounterSeen it is only carried, and a bridge box never knows it.
#ifndef TEVRO_COMMON_COUNTER_ADDITION_H
#define TEVRO_COMMON_COUNTER_ADDITION_H

#include <stdint.h>

#include "common/contract.h"
#include "common/status.h"

struct CounterAddition {
  uint32_t count;         // openings not yet in the box's counter; 0 when there are none
  bool inDoubt;           // a write of 'meant' over 'replaced' failed and may have landed
  uint32_t replaced;      // what the box held before that write
  uint32_t meant;         // what that write meant to store
  uint32_t doubtCount;    // the openings that write carried (the rest came later)
  bool doubtWritesKnown;  // the box's count of counter writes, that write's included
  uint32_t doubtWrites;
  // The session's copy of the counter, when the try may fall back on it (the session's own
  // close): copy.known then. Set by the caller before each try; not relied on once the try
  // finds that the box's last holder died.
  CounterSeen copy;
};

// What the counter must become, given what the box holds now ('seen': as the read now saw it).
uint32_t CounterTarget(const CounterAddition& addition, uint32_t holds, const CounterSeen& seen);
// What a try made of its write of 'target' over 'holds' ('status', and 'written': what the
// write told of the counter, with the box's count of counter writes where known; no write
// when target == holds): done, *total is the counter now; otherwise the write may have
// landed, in part, and is in doubt. *counter follows what the write saw of the counter.
Status SettleAddition(CounterAddition& addition, uint32_t holds, uint32_t target,
                      const Status& status, const CounterSeen& written, uint32_t* total,
                      CounterSeen* counter);

#endif  // TEVRO_COMMON_COUNTER_ADDITION_H

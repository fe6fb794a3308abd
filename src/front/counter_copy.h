// The session's copy of the stored counter: what GetTotalOpenCnt adds the session's openings
// to, and what the close's write-back falls back on when the box cannot be read.
//
// One copy per backend, of the box that backend addresses: the box of its last open (whether
// or not it opened), or, after a scan with no box open, the first box its probes found
// empty; none after a close. It follows every counter an operation on that box saw (the
// open, the front's field reads and writes, the write-back's), and is not trusted once an
// operation has found the box's last holder dead (common/box_lock.h).
#ifndef TEVRO_FRONT_COUNTER_COPY_H
#define TEVRO_FRONT_COUNTER_COPY_H

#include <stdint.h>

#include "common/contract.h"
#include "front/backends.h"

// 'backend' now addresses box 'box': its copy is unknown until the box is seen.
void AddressCounterCopy(const Backend& backend, uint8_t box);
// An operation on box 'box' of 'backend' saw the box's counter (or did not: nothing then).
void NoteCounterSeen(const Backend& backend, uint8_t box, const CounterSeen& seen);
// The copy of the box 'backend' addresses: false unless it was seen and no holder died on
// the box since.
bool CounterCopyOf(const Backend& backend, uint32_t* value);
// The same, as it was seen: with the box's count of counter writes then, where known.
bool CounterCopySeen(const Backend& backend, CounterSeen* seen);

#endif  // TEVRO_FRONT_COUNTER_COPY_H

// The session's openings on their way into the box's counter. The close adds them to the
// counter as the box holds it at that moment, so callers that share a box lose none; what
// cannot be written then is owed to the box and tried again on later calls and at unload,
// until it lands or the box is gone.
#ifndef TEVRO_FRONT_OPENINGS_H
#define TEVRO_FRONT_OPENINGS_H

#include <windows.h>
#include <stdint.h>

#include "front/backends.h"

// Writes 'local' openings of the closing session back to box 'box' of 'backend': reads
// the counter the box holds (the session's copy of it when that read fails), adds them and
// writes the sum. A box another caller keeps is waited for up to kBoxCloseWaitMs. Returns
// the total written, or, when nothing could be written yet, the session's copy plus 'local'.
uint32_t WriteBackOpenings(const Backend& backend, uint8_t box, uint32_t local,
                           uint32_t sessionTotal);

// Tries the owed openings again, waiting at most waitMs for a box another
// caller keeps. With none it costs one flag test.
void RetryOwedOpenings(DWORD waitMs);
// At unload, after the last try: what is still owed is lost, and the trace says so.
void DropOwedOpenings();

#endif  // TEVRO_FRONT_OPENINGS_H

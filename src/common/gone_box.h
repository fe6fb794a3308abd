// When a box counts as gone: its device could not be opened at all on three tries in a row,
// at least half a second apart, so that a passing failure of one open is not taken for an
// unplugged box. Work owed to a box (a release, openings) is given up only then; with the
// box goes the current through its solenoid.
#ifndef TEVRO_COMMON_GONE_BOX_H
#define TEVRO_COMMON_GONE_BOX_H

#include <stdint.h>

#include "common/status.h"

struct MissedOpens {
  uint8_t count;       // tries in a row that found no device, counted as below
  int64_t lastMissUs;  // when the last of them was counted (performance counter, in us)
};

// After a try on the box: a try that found no device counts (once per half second at
// most); one that reached the device clears the count; a box another caller keeps changes
// nothing. True when the box now counts as gone.
bool GoneAfterTry(MissedOpens& missed, const Status& status);

#endif  // TEVRO_COMMON_GONE_BOX_H

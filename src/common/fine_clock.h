// The performance counter, the clock every time the library measures is read on: it never
// goes back and does not move in timer ticks.
#ifndef TEVRO_COMMON_FINE_CLOCK_H
#define TEVRO_COMMON_FINE_CLOCK_H

#include <stdint.h>

// The counter now, in its own ticks.
int64_t FineNow();
// Microseconds from 'start' (a FineNow value) to now; from 0, the counter now in
// microseconds.
int64_t MicrosecondsSince(int64_t start);
// Milliseconds from 'start' to now, as the trace shows them.
double MillisecondsSince(int64_t start);
// The ticks of 'us' microseconds, rounded up: a time measured with them is never short.
int64_t FineTicks(int64_t us);

#endif  // TEVRO_COMMON_FINE_CLOCK_H

#include "common/fine_clock.h"

#include <windows.h>

namespace {

int64_t Frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

}  // namespace

int64_t FineNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int64_t MicrosecondsSince(int64_t start) {
  const int64_t frequency = Frequency();
  const int64_t ticks = FineNow() - start;
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

double MillisecondsSince(int64_t start) {
  return static_cast<double>(FineNow() - start) * 1000.0 / static_cast<double>(Frequency());
}

int64_t FineTicks(int64_t us) {
  const int64_t frequency = Frequency();
  return us / 1000000 * frequency + (us % 1000000 * frequency + 999999) / 1000000;
}

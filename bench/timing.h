// The clock the host benchmarks time batches with, and what a pair of its reads costs.
#ifndef BENCH_TIMING_H
#define BENCH_TIMING_H

#include <algorithm>
#include <chrono>
#include <vector>

using Clock = std::chrono::steady_clock;

inline double Ns(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

// The cost of the two clock reads around a timed batch (the median of many pairs), taken
// out of every batch.
inline double ClockPairNs() {
  std::vector<double> samples;
  for (int i = 0; i < 2001; ++i) {
    Clock::time_point a = Clock::now();
    Clock::time_point b = Clock::now();
    samples.push_back(Ns(b - a));
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

#endif  // BENCH_TIMING_H

// What the host benchmarks share: the clock they time batches with, what a pair of its
// reads costs, and the instruction counts callgrind gives them.
#ifndef BENCH_TIMING_H
#define BENCH_TIMING_H

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
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

// The instructions per call that bench/callgrind_split.py wrote, one
// "label<TAB>library<TAB>rest" line per call: by label, {library, rest}. False when the file
// cannot be read.
inline bool ReadInstructionTable(const std::string& path,
                                 std::map<std::string, std::pair<double, double>>* table) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() >= 3) (*table)[f[0]] = {atof(f[1].c_str()), atof(f[2].c_str())};
  }
  return true;
}

#endif  // BENCH_TIMING_H

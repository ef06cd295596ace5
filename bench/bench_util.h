// Timing helpers of the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace tarvo_bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The median of the values (the upper one of an even count).
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace tarvo_bench

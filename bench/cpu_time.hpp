// What the C++ benchmarks time with: the calling thread's CPU time, which other
// processes on a shared machine disturb least, and the median of a run's times.
#pragma once

#include <algorithm>
#include <ctime>
#include <vector>

namespace bench {

inline double thread_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace bench

// Time stamps and percentiles shared by the benchmarks.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace bench {

inline long long Ticks() {
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

inline double TicksToMicros(long long ticks) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return ticks * 1e6 / frequency;
}

// The value at fraction `p` (0..1) of the sorted values; 0 for none.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

inline double Median(const std::vector<double>& values) { return Percentile(values, 0.5); }

}  // namespace bench

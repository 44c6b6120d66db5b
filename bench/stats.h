#ifndef KORVANE_BENCH_STATS_H
#define KORVANE_BENCH_STATS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace korvane::bench {

// Order statistics of durations in nanoseconds, reported in microseconds.
struct Summary {
  double median_us = NAN;
  double p99_us = NAN;
  double max_us = NAN;
  std::size_t count = 0;
};

// Nearest-rank quantile of sorted samples.
inline double Quantile(const std::vector<int64_t>& sorted, double q) {
  if (sorted.empty()) return NAN;
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1]);
}

inline Summary Summarize(std::vector<int64_t> samples) {
  std::sort(samples.begin(), samples.end());
  Summary s;
  s.count = samples.size();
  s.median_us = Quantile(samples, 0.5) / 1000.0;
  s.p99_us = Quantile(samples, 0.99) / 1000.0;
  s.max_us = samples.empty() ? NAN : static_cast<double>(samples.back()) / 1000.0;
  return s;
}

}  // namespace korvane::bench

#endif

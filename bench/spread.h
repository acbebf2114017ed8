// The order statistics the benchmarks print: the median, the 99th percentile and the largest of a
// run's samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench {

struct Spread {
  size_t n = 0;
  double p50 = 0, p99 = 0, max = 0;
};

inline Spread SpreadOf(std::vector<double> v) {
  Spread s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]; };
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.max = v.back();
  return s;
}

}  // namespace bench

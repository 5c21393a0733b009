// Pieces every benchmark shares: the median of a set of timings and a log hook that
// keeps the library quiet while it is being timed.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline int quiet_log(void *, int, const char *, ...) { return 0; }

}  // namespace bench

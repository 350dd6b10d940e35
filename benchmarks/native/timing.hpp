// The native benchmarks' clock and statistic: thread CPU time, medians of batches
// (as the Python benchmarks), so other load on a shared machine skews them less.
#pragma once

#include <algorithm>
#include <ctime>
#include <vector>

namespace bench {

constexpr unsigned BATCHES = 15;

inline double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace bench

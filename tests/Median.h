// The median of a set of figures, as the benchmarks report them (0 for none): a load on the
// machine makes single figures stray far, which would swamp a mean.
#ifndef PM_TESTS_MEDIAN_H
#define PM_TESTS_MEDIAN_H

#include <algorithm>
#include <vector>

inline double MedianOf(std::vector<double> v)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

#endif

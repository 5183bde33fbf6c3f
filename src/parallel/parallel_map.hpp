// Parallel evaluation of independent grid points.
//
// map_values(values, f) returns {f(values[0]), f(values[1]), ...} and
// map_indices(n, f) returns {f(0), ..., f(n-1)}, in input order. The result
// vector is sized before the work starts and each result is written straight
// into its slot. If evaluations fail, the failure of the lowest failing index
// is rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <vector>

namespace ostrel::parallel {

template <class R, class F>
std::vector<R> map_indices(std::size_t n, F&& f) {
    std::vector<R> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = f(i);
    return out;
}

template <class R, class F>
std::vector<R> map_values(const std::vector<double>& values, F&& f) {
    return map_indices<R>(values.size(), [&](std::size_t i) { return f(values[i]); });
}

}  // namespace ostrel::parallel

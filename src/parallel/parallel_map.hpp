// Parallel evaluation of independent grid points.
//
// map_values(values, f) returns {f(values[0]), f(values[1]), ...} and
// map_indices(n, f) returns {f(0), ..., f(n-1)}, in input order. The result
// vector is sized before the work starts and each result is written straight
// into its slot. If evaluations fail, the failure of the lowest failing index
// is rethrown on the calling thread, as the exception that point threw, after
// every started evaluation has finished.
//
// The process-wide pool (pool.hpp) is created by the first map, even one with
// nothing to evaluate. For n >= 2 the calling thread hands the whole range to
// the workers and blocks until it is done; for n <= 1 it evaluates the point,
// if any, itself, so such a map works even when the workers cannot be started
// (global_pool_for). A map stopped by the calling thread's stop check
// (misc/interrupt.hpp) throws Interrupted: each piece stops before its next
// point once the stop flag is up. `f` may be called concurrently for
// different points: it must only read shared data. Results do not depend on the worker count as
// long as each result depends only on its own point.
//
// map_indices_or_here(n, f) is map_indices when the workers exist or can be
// started, and otherwise evaluates f(0), ..., f(n-1) in order on the calling
// thread (the first failure ends it) instead of raising the pool's failure.
// It is for the preparation before a kernel's own map: a call whose map has
// at most one point needs no worker, so its preparation must not either; a
// call that does need them fails at its own map, with the same message.
//
// map_indices_cheap(n, serial_below, f) is map_indices for points so cheap
// that a whole map of fewer than `serial_below` points costs less than handing
// it to the workers (a few microseconds): such a map is evaluated on the
// calling thread, in increasing index order, the first failure ending it (so
// the failure raised is still that of the lowest failing index). The pool is
// created, or its failure raised, exactly as for any map of n points, and the
// results are the same values in the same slots.
//
// map_indices_on / map_values_on do the same on a given pool (tests and
// benchmarks use pools of chosen sizes; kernels use the process-wide one).
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "parallel/pool.hpp"

namespace ostrel::parallel {

namespace detail {

// `pool` may be nullptr when n <= 1.
template <class R, class F>
std::vector<R> map_indices_with(Pool* pool, std::size_t n, F& f) {
    static_assert(!std::is_same_v<R, bool>, "each slot must be a separate object");
    std::vector<R> out(n);
    if (n <= 1) {
        if (n == 1) out[0] = f(std::size_t{0});
        return out;
    }
    auto evaluate = [&out, &f](std::size_t begin, std::size_t end, const std::atomic<bool>& stop,
                               const std::atomic<bool>& cut) {
        for (std::size_t i = begin; i < end; ++i) {
            if (stop.load(std::memory_order_relaxed)) return i;
            if (cut.load(std::memory_order_relaxed) && end - i >= 2) return i;
            out[i] = f(i);
        }
        return end;
    };
    pool->run(n, RangeTask::of(evaluate));
    return out;
}

}  // namespace detail

template <class R, class F>
std::vector<R> map_indices_on(Pool& pool, std::size_t n, F&& f) {
    return detail::map_indices_with<R>(&pool, n, f);
}

template <class R, class F>
std::vector<R> map_values_on(Pool& pool, const std::vector<double>& values, F&& f) {
    return map_indices_on<R>(pool, values.size(), [&](std::size_t i) { return f(values[i]); });
}

template <class R, class F>
std::vector<R> map_indices(std::size_t n, F&& f) {
    return detail::map_indices_with<R>(global_pool_for(n), n, f);
}

template <class R, class F>
std::vector<R> map_indices_cheap(std::size_t n, std::size_t serial_below, F&& f) {
    Pool* pool = global_pool_for(n);
    if (n >= serial_below) return detail::map_indices_with<R>(pool, n, f);
    std::vector<R> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = f(i);
    return out;
}

template <class R, class F>
std::vector<R> map_indices_or_here(std::size_t n, F&& f) {
    if (Pool* pool = global_pool_for(n <= 1 ? n : 1)) return detail::map_indices_with<R>(pool, n, f);
    std::vector<R> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = f(i);
    return out;
}

template <class R, class F>
std::vector<R> map_values(const std::vector<double>& values, F&& f) {
    return map_indices<R>(values.size(), [&](std::size_t i) { return f(values[i]); });
}

}  // namespace ostrel::parallel

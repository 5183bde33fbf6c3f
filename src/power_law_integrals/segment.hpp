// One segment [x_i, x_(i+1)] of a tabulated quantity v(x) treated as a power
// law between the two grid points: whether the kernels use it, and its index.
//
// read_segment(v, i, floor, order) reads the segment's two values one after
// the other, the lower end v[i] first (lower_first) or the upper end v[i+1]
// first (upper_first), and stops at the first read that cannot be made or
// value that does not pass:
//   - a read past the end of v: fail (the kernel raises its array-index
//     failure where its computation reaches the segment);
//   - a value not above `floor` (a NaN included): skip, the second value
//     unread;
//   - both values above the floor: use, with lo = v[i] and hi = v[i+1].
// Each kernel passes its own floor (1e-200 for the inverse-Compton
// intensities and electrons, 1e-100 for the synchrotron electrons and the
// cooling field) and its own order. Since a failing segment ends past the end
// of v, every later segment fails too.
//
// segment_index(v_lo, v_hi, x_lo, x_hi) is the local index of the power law
// v(x) = v_lo (x / x_lo)^(-p) through both values,
//
//   p = -ln(v_hi / v_lo) / ln(x_hi / x_lo), then p = -8 if p < -8, then
//   p = 8 if p > 8
//
// (a NaN index stays NaN; clamp_index is the clamp alone, for callers that
// form the logarithm of the grid ratio themselves).
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace ostrel::power_law_integrals {

enum class SegmentStatus : unsigned char { skip, fail, use };

enum class ReadOrder : unsigned char { lower_first, upper_first };

struct SegmentValues {
    SegmentStatus status = SegmentStatus::skip;
    double lo = 0.0;  // v[i], when used
    double hi = 0.0;  // v[i+1], when used
};

inline SegmentValues read_segment(std::span<const double> v, std::size_t i, double floor,
                                  ReadOrder order = ReadOrder::lower_first) {
    const bool lower_first = order == ReadOrder::lower_first;
    const std::size_t first = lower_first ? i : i + 1;
    const std::size_t second = lower_first ? i + 1 : i;
    if (first >= v.size()) return {SegmentStatus::fail};
    const double a = v[first];
    if (!(a > floor)) return {SegmentStatus::skip};
    if (second >= v.size()) return {SegmentStatus::fail};
    const double b = v[second];
    if (!(b > floor)) return {SegmentStatus::skip};
    return lower_first ? SegmentValues{SegmentStatus::use, a, b} : SegmentValues{SegmentStatus::use, b, a};
}

inline double clamp_index(double p) {
    if (p < -8.0) p = -8.0;
    if (p > 8.0) p = 8.0;
    return p;
}

inline double segment_index(double v_lo, double v_hi, double x_lo, double x_hi) {
    return clamp_index(-std::log(v_hi / v_lo) / std::log(x_hi / x_lo));
}

}  // namespace ostrel::power_law_integrals

// The local index of a tabulated quantity treated as a power law between two
// neighbouring grid points: v(x) = v_lo (x / x_lo)^(-p) through both values,
//
//   p = -ln(v_hi / v_lo) / ln(x_hi / x_lo), then p = -8 if p < -8, then
//   p = 8 if p > 8
//
// (a NaN index stays NaN). Callers skip segments whose values are not above
// their floor before forming the index.
#pragma once

#include <cmath>

namespace ostrel::power_law_integrals {

inline double clamp_index(double p) {
    if (p < -8.0) p = -8.0;
    if (p > 8.0) p = 8.0;
    return p;
}

inline double segment_index(double v_lo, double v_hi, double x_lo, double x_hi) {
    return clamp_index(-std::log(v_hi / v_lo) / std::log(x_hi / x_lo));
}

}  // namespace ostrel::power_law_integrals

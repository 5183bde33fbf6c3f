// Tridiagonal linear solver (the Thomas algorithm).
//
// tridag_ser(a, b, c, r) solves, for j = 0 ... n-1 with n = length(b),
//     a[j-1] u[j-1] + b[j] u[j] + c[j] u[j+1] = r[j]
// (no a-term in the first equation, no c-term in the last) by forward
// elimination with a running pivot and stored elimination factors, then back
// substitution (Press et al., Numerical Recipes, sec. 2.4). No pivoting, no
// scaling, no check of diagonal dominance: a nearly singular leading minor
// gives a large, inaccurate u without a report; NaN and infinities propagate.
//
// Sweep, in this order for j = 1 ... n-1:
//     e[j] = c[j-1] / beta;  beta = b[j] - a[j-1] e[j];  (test beta)
//     u[j] = (r[j] - a[j-1] u[j-1]) / beta
// and back substitution u[j] -= e[j+1] u[j+1] for j = n-2 ... 0. Each product
// is rounded before it is subtracted.
//
// Internal failures:
//  - "tridag_ser: error at code stage 1" when b[0] == 0 (also -0.0);
//  - "tridag_ser: error at code stage 2" when an updated pivot is 0.
//  - too-short vectors (a, c need n-1 elements, r needs n, b at least one)
//    fail with "index out of bounds: the len is L but the index is I" at the
//    first element that is read but missing; within one sweep step c[j-1] is
//    read first, then a[j-1], then (after the pivot test) r[j]. With b[0] == 0
//    the stage 1 failure comes before r is read.
// Surplus elements of a, c and r are ignored.
#pragma once

#include <span>
#include <vector>

namespace ostrel::misc {

inline constexpr const char* kTridagStage1 = "tridag_ser: error at code stage 1";
inline constexpr const char* kTridagStage2 = "tridag_ser: error at code stage 2";

std::vector<double> tridag_ser(std::span<const double> a, std::span<const double> b,
                               std::span<const double> c, std::span<const double> r);

}  // namespace ostrel::misc

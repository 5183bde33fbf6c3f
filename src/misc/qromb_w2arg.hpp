// Romberg integration of f(x, p) over [a, b] (Press et al., Numerical
// Recipes, sec. 4.3), for an integrand that carries one extra parameter p.
//
// Stage 1 is the trapezoid estimate T1 = ((b - a) * 0.5) * (f(a, p) + f(b, p))
// (f(a, p) first); stage j >= 2 adds the m = 2^(j-2) midpoints
// x_k = a + delta * (k + 0.5), delta = (b - a) / m, each formed from k,
// summed in increasing k from 0.0: T_j = (T_(j-1) + delta * S) * 0.5. From
// stage 5 on, the last five estimates are extrapolated to zero step size with
// polint against their relative squared steps 4^-(j-5) ... 4^-(j-1); the
// extrapolated value y is returned as soon as |dy| <= 1e-5 |y| (a NaN fails
// the test). At most 20 stages: a result at stage j costs 2^(j-1) + 1
// evaluations of f, the earliest (stage 5) 17.
//
// b < a gives the signed integral, a = b gives 0 (at stage 5).
//
// Error values: "qromb: too many steps" after stage 20 without meeting the
// tolerance (in particular for an integrand that returns NaN or infinities,
// after 524 289 evaluations), and any error of polint passed on unchanged
// (it cannot occur with these distinct abscissae).
//
// This is the Romberg driver of misc/romberg.hpp with stage j as its level
// j - 1: five-point extrapolation from level 4, last level 19, tolerance
// 1e-5, no early stop on non-finite estimates. The integrand is a plain
// function with no captured state; the routine keeps its work space on the
// stack, holds no shared state and is reentrant, so it runs on the worker
// threads of the cooling-rate computation.
#pragma once

#include "misc/failure.hpp"

namespace ostrel::misc {

inline constexpr const char* kQrombTooManySteps = "qromb: too many steps";

using Integrand = double (*)(double x, double p);

Result<double> qromb_w2arg(Integrand f, double a, double b, double p);

}  // namespace ostrel::misc

// Analytic time-dependent particle distribution: Park & Petrosian (1995),
// ApJ 446, 699, eq. 59, for the fixed parameters q = 3, a = 1, s = -1/2 and
// the injection momentum p0 = sqrt(100^2 - 1) (gamma = 100):
//
//   R(gamma, t) = 4 pi e^-t (1/t) p^(-1/2) p0^(-3/2) I_3(2 / (t sqrt(p p0)))
//                 * exp(-(1/p + 1/p0) / t),        p = sqrt(gamma^2 - 1).
//
// It is the Green's function of
//   dN/dt = d/dp [p^3 dN/dp - p^2 N] - N,   N(p, 0) = 4 pi delta(p - p0),
// a density per unit momentum, with time in units of the inverse diffusion
// rate and an escape time of 1.
//
// Evaluated in the general form of the paper's parameters (powers of p with
// exponents built from q, a and s, each bracket in the order written in the
// source), with I_3 from the truncated ascending series of i_nu: wherever the
// leading Bessel term is below 1e-8 the Bessel factor is exactly 0. Each
// result is limited to [1e-100, 1e200], NaN becoming 1e-100, so gamma <= 1,
// t = 0 and vanishing Bessel factors give 1e-100. No failures.
#pragma once

#include <vector>

namespace ostrel::distribs {

std::vector<double> eq_59_park1995(double t, const std::vector<double>& g);

}  // namespace ostrel::distribs

// Radiative transfer through a homogeneous source, one frequency at a time.
//
// Given the emissivity j and absorption coefficient a per frequency, the
// escaping intensity of
//  - a spherical blob of radius R:  I = j R f / 3 with the escape factor
//    f = (3/tau) u(tau), tau = 2 R a, u(tau) = 1/2 - (1 - (1 + tau) e^-tau) / tau^2
//    (the angle-averaged escape probability of a uniform sphere, as in
//    Gould 1979 and Dermer & Menon 2009, eq. 7.122). Optically thin: j R / 3;
//    thick: j / (4 a).
//  - a plane slab of thickness R:  I = j R (1 - e^-tau) / tau with tau = a R.
//    Optically thin: j R; thick: j / a.
//
// tau is floored at 1e-100 with fmax (so zero, negative and NaN absorption
// give the thin-source value); tau <= 1e-10 gives f = 1 exactly. The blob
// uses the series u = tau/3 - tau^2/8 below tau = 0.01 and the asymptote
// u = 1/2 - 1/tau^2 above tau = 100; both boundaries belong to the
// exponential form. The evaluation order of every expression is fixed.
//
// The result has the length of j; a must have at least as many entries, and a
// short a fails with the array-index failure when its end is reached.
#pragma once

#include <vector>

namespace ostrel::radiation {

std::vector<double> rad_trans_blob(const std::vector<double>& j_nu, const std::vector<double>& a_nu,
                                   double blob_radius);

std::vector<double> rad_trans_slab(const std::vector<double>& j_nu, const std::vector<double>& a_nu,
                                   double blob_radius);

}  // namespace ostrel::radiation

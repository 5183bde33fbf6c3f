// Modified Bessel function of the first kind, I_nu(z), for a real order and a
// complex argument, by its ascending series (Abramowitz & Stegun 9.6.10)
//     I_nu(z) = sum_k (z/2)^(nu+2k) / (k! Gamma(nu+k+1)),
// with Gamma(nu+1) from the Weierstrass product (A&S 6.1.3)
//     Gamma(d) = e^(-gamma_E d) / d * prod_k e^(d/k) / (1 + d/k),   d = nu + 1.
//
// Algorithm and stopping rules (they fix the returned values, truncation
// errors included):
//  - a negative integer order is reflected, I_-n = I_n; other negative
//    orders are summed as they are;
//  - the product stops at the first factor g with |(g - 1)/f| < 1e-12, f the
//    running product; no iteration limit. It converges slowly, some 10^5
//    factors for orders 0 ... 3, and stops early: Gamma(nu+1) comes out low by
//    about (nu+1)^2 / (2K) for K factors, so I_nu is high by about 1e-6 for
//    nu = 0 and 5e-5 for nu = 3 (and far more for orders near 10);
//  - (z/2)^p is formed in polar form from hypot, atan2 and pow for every
//    exponent afresh, exactly 1 for p == 0;
//  - early zero: a leading term T0 = (z/2)^nu / Gamma(nu+1) with
//    |T0| < 1e-8 gives exactly 0 (an absolute threshold);
//  - terms are added in increasing k until |T/S| < 1e-8 for the term T just
//    added to the partial sum S, at most 500 terms.
// Overflowing powers give infinite or NaN components, returned as they are; a
// NaN or infinite order gives NaN.
//
// Gamma(nu+1) depends on the order alone: it is computed once per order and
// kept (a small cache safe to use from any thread), which gives the same bits
// as computing it on every call. Otherwise pure.
#pragma once

#include <complex>

namespace ostrel::special_functions {

std::complex<double> i_nu(double nu, std::complex<double> z);

// Gamma(d) by the truncated Weierstrass product above, computed afresh.
double weierstrass_gamma(double d);

}  // namespace ostrel::special_functions

// Pitch-angle-averaged single-electron synchrotron function.
//
// rma_new(chi, g) is R(x), the synchrotron emission function F(x) averaged
// over an isotropic distribution of pitch angles (Crusius & Schlickeiser
// 1986, A&A 164, L16), at x = nu / nu_c with nu_c = (3/2) g^2 nu_B the
// characteristic frequency of an electron of Lorentz factor g; the argument
// chi = nu / nu_B is the frequency in units of the cyclotron frequency
// nu_B = 2799248.987233304 B (B in gauss). A single electron radiates
// sqrt(3) e^3 B / (m_e c^2) R(x) per unit frequency.
//
// R is a closed-form fit in four pieces:
//   chi <= 0.75 / g (or NaN)          0  (low-frequency cut-off, strict test)
//   x < 3.2180900500625734e-4         1.808418021102802 x^(1/3)  (pow, not cbrt)
//   x <= 0.650532122717873            exp(P1(ln x))   (lower quintic fit)
//   x <= 15.579904689804556           exp(P2(ln x))   (upper quintic fit)
//   otherwise (also x NaN)            (pi/2) e^-x (1 - 11/(18 x))  (asymptote)
// with x = (chi + chi) / (g g 3). The pieces meet to a few parts in 1e4 at
// the two lower boundaries; at the upper boundary the fit and the asymptote
// differ by about 1 %, so R has a small step there. The fit follows the exact
// R to about a percent.
//
// Evaluation order is part of the result's last bit: the quintics form
// L2 = L L, L3 = L L2, L4 = L2 L2, L5 = L L4 and add the terms in increasing
// degree; the asymptote multiplies left to right. The synchrotron emissivity
// evaluates this function at every quadrature node, partly with the
// frequency-independent factors 0.75 / g and g g 3 computed ahead: it calls
// rma_cutoff_reached and rma_of_x below, which are the only definition of
// the arithmetic. Pure: no state, no allocation, no failure.
#pragma once

#include <cmath>

namespace ostrel::radiation {

namespace rma {
inline constexpr double kPowerLawTop = 0.00032180900500625734;
inline constexpr double kLowerFitTop = 0.650532122717873;
inline constexpr double kUpperFitTop = 15.579904689804556;
// exp(-x) is exactly 0 for every x >= 746 (e^-746 ~ 2^-1076.3, below half
// the smallest subnormal; the C library rounds it to zero), so the
// asymptote is 0 there and the exponential need not be called.
inline constexpr double kUnderflow = 746.0;
}  // namespace rma

// The cut-off test with 0.75 / g given: true where R is the fit of x.
inline bool rma_above_cutoff(double chi, double cutoff) { return chi > cutoff; }

inline double rma_cutoff(double g) { return 0.75 / g; }
inline double rma_x_denominator(double g) { return g * g * 3.0; }

namespace rma {
inline constexpr double kLowerFit[6] = {-0.7871626401625178,   -0.7050933708504841,
                                        -0.35531869295610624,  -0.06503312461868385,
                                        -0.0060901233982264096, -0.00022764616638053332};
inline constexpr double kUpperFit[6] = {-0.8236455154570651,  -0.831668613094906,
                                        -0.525630345887699,   -0.22039314697105414,
                                        0.01669179529512499,  -0.028650695862677572};

// exp of the quintic with coefficients c in L = ln x.
inline double exp_quintic(double x, const double (&c)[6]) {
    const double l = std::log(x);
    const double l2 = l * l;
    const double l3 = l * l2;
    const double l4 = l2 * l2;
    const double l5 = l * l4;
    return std::exp(c[0] + c[1] * l + c[2] * l2 + c[3] * l3 + c[4] * l4 + c[5] * l5);
}
}  // namespace rma

// R as a function of x = (chi + chi) / (g g 3), for chi above the cut-off.
inline double rma_of_x(double x) {
    if (x < rma::kPowerLawTop) return std::pow(x, 0.3333333333333333) * 1.808418021102802;
    if (x <= rma::kLowerFitTop) return rma::exp_quintic(x, rma::kLowerFit);
    if (x <= rma::kUpperFitTop) return rma::exp_quintic(x, rma::kUpperFit);
    if (x >= rma::kUnderflow) return 0.0;
    return std::exp(-x) * 1.5707963267948966 * (-11.0 / (x * 18.0) + 1.0);
}

// R given chi + chi and the two factors of g computed ahead.
inline double rma_from_factors(double chi, double chi2, double cutoff, double x_denominator) {
    if (!rma_above_cutoff(chi, cutoff)) return 0.0;
    return rma_of_x(chi2 / x_denominator);
}

// R(chi, g); one out-of-line copy for callers that evaluate it once.
double rma_new(double chi, double g);

}  // namespace ostrel::radiation

// Compton energy-loss rate of electrons in an isotropic monochromatic photon
// field of frequency nu0 (Hz) and energy density u0 (erg cm^-3), one rate
// (s^-1) per Lorentz factor of `gg`:
//
//   rate_i = C_T * u0 * sqrt(gamma_i^2 - 1) * F(b_i),   C_T = 3.2479641514432145e-08
//
// NOTE the electron factor: this is the FIRST power of gamma*beta,
// sqrt(gamma^2 - 1), not the gamma^2 beta^2 of the physical Thomson loss
// rate (4/3) sigma_T c gamma^2 beta^2 u0 / (m_e c^2) (Rybicki & Lightman,
// eq. 7.17), and not the gamma^2 of rad_cool_pwl. Callers that need the
// physical rate multiply by sqrt(gamma^2 - 1) themselves. This factor is
// part of the function's interface and is kept as it is.
//
// F = 1 without Klein-Nishina reduction. With it, F is a closed form of the
// scattering parameter b_i = ((gamma_i * 4) * nu0) * 6.53745089363765e-21
// (formed in the parallel task of gamma_i, the products in this order), tested
// in this order:
//   b >= 100:    ((ln b - 1.8333333333333333) * (base * 4.5)) / (b * b)
//   b >= 1:      exp(P(ln b)) * base          (the fit of trans_kn_fit)
//   b > 0.001:   pow(b + 1, -1.5) * base
//   otherwise:   base                         (also for b = 0.001 and NaN)
// where base = r * (C_T * u0), r = sqrt(gamma*gamma - 1). The scale of b is
// the one these rates are defined with, 0.808 times the physical
// 4 h nu0 gamma / (m_e c^2); the reduction is therefore that of a photon
// field of 0.808 nu0 (see the validation figures in the README).
//
// No failure paths: gamma < 1 gives NaN (square root of a negative number),
// gamma = 1 gives 0, non-finite inputs give non-finite rates. Rates are
// computed in parallel over the grid (grids of fewer than 8192 points, 1024
// with the Klein-Nishina reduction, on the calling thread, see the .cpp) and
// do not depend on the worker count.
#pragma once

#include <vector>

namespace ostrel::radiation {

std::vector<double> rad_cool_mono(const std::vector<double>& gg, double nu0, double u0, bool with_kn);

}  // namespace ostrel::radiation

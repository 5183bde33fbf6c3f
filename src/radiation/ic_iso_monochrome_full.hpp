// Inverse-Compton emissivity of electrons scattering an isotropic
// monochromatic photon field of energy density `uext` (erg cm^-3) at
// frequency `nuext` (Hz), on the output frequencies `freqs` (Hz).
//
// The electrons n(gamma), tabulated on the increasing grid `g`, are a power
// law of index p = -ln(n_(i+1)/n_i)/ln(g_(i+1)/g_i) (clamped to [-8, 8]) on
// each segment whose two values are > 1e-200 (others are skipped, the upper
// value read only when the lower one passed). Scattering is in the Thomson
// regime with the isotropic-rest-frame kernel (1 - x/gamma^2) (Rybicki &
// Lightman, sec. 7.3), Lorentz factors capped at gamma_KN =
// 2.0467764442059716e-07 / (nuext * 6.62607015e-27) = m_e c^2 / (4 h nuext).
// With x = nu / (nuext * 4), q1 = (p-1)*0.5, q2 = (p+1)*0.5 and
// g_hi = fmin(g_(i+1), gamma_KN), segment i contributes
//
//   pow(x, -q1) * (pow(g_i, p) * (n_i * F)),
//   F = pow(t, q2) * (R(rho; -1-q1, q1+1) - t * R(rho; -1-q2, q2+1)),  t = x/(g_hi*g_hi),
//
// with rho = (g_hi/g_i)*(g_hi/g_i) if g_i <= g_hi and 0.25 <= x <= g_i*g_i,
// else rho = (g_hi*g_hi)/x if g_i*g_i < x <= g_hi*g_hi, else F = 0 (R is the
// ratio integral). The sum over segments in ascending order gives
// (uext * ((sum * c) * sigma_T)) / nuext, the emissivity integrated over
// solid angle (erg s^-1 cm^-3 Hz^-1 per unit of n), proportional to
// nu^(-(p-1)/2) where neither the lower grid end nor the cap applies.
//
// Everything that does not depend on the output frequency (the segment
// statuses, indices, pow(g_i, p), and rho with its two ratio integrals in the
// first case) is formed once before the parallel step, with the same
// operations, so results are the same bits as the per-frequency evaluation
// of the formula above; a zero term of a segment with F = 0 is dropped only
// where it provably cannot change the sum.
//
// Failures (array-index form), in the same situations as reading the inputs
// per frequency: an `n` shorter than the entries the segments read, and an
// empty `g` (for a non-empty `freqs`). A one-point `g` gives zeros, an empty
// `freqs` an empty result. Non-finite inputs propagate.
#pragma once

#include <vector>

namespace ostrel::radiation {

std::vector<double> ic_iso_monochrome_full(const std::vector<double>& freqs, double uext, double nuext,
                                           const std::vector<double>& n, const std::vector<double>& g);

}  // namespace ostrel::radiation

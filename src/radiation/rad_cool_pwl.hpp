// Compton energy-loss rate |dgamma/dt| (s^-1) of electrons of Lorentz factors
// `gg` in an isotropic photon field of spectral energy density u(nu)
// (erg cm^-3 Hz^-1, `uu`) tabulated on the increasing frequency grid `freqs`
// (Hz), with an optional Klein-Nishina reduction:
//
//   rate_i = C_T gamma_i^2 sum_k integral_{nu_(k-1)}^{nu_k} u(nu) F(C_x gamma_i nu) dnu
//
// C_T = 3.2479641514432145e-08 = 4 sigma_T / (3 m_e c) (Rybicki & Lightman,
// eq. 7.17: the Thomson loss rate is C_T gamma^2 U for the energy density U),
// C_x = 2.61498035745506e-20 s, the scale of the scattering parameter
// x = C_x gamma nu these rates are defined with (0.808 times the physical
// 4 h / (m_e c^2)). u is a power law through the two tabulated values on
// each segment.
//
// The scaled grid and spectrum of Lorentz factor i are
//   X[i][k] = (C_x * gamma_i) * nu_k,   W[i][k] = (gamma_i * u_k) * C_x,
// formed inside that factor's task as they are read (nothing of size
// n_gamma x n_f is stored, so memory does not grow with the product); a `uu`
// shorter than `freqs` fails before any rate is computed.
//
// Per Lorentz factor (one parallel task each, using row i only), for each
// segment k = 1 ... n_f - 1 in increasing order: skip it unless W[i][k] and
// then W[i][k-1] are > 1e-100 (a NaN skips); R = x_hi/x_lo, L = ln R, index
// p = -ln(w_hi/w_lo)/L clamped to [-8, 8]; d = R - 1 and the switched
// logarithms
//   lambda1 = L if 1.5 d^4 > 1e-6 else d,   lambda2 = L if 0.5 d^2 > 1e-6 else d,
//   Lambda  = L*L if d^3 > 1e-6 else d*d,   lambda4 = L if 2 d^5 > 1e-6 else d,
// (d^3 = d*(d*d), d^4 = (d*d)*(d*d), d^5 = d*d^4; cubes and fourth powers of
// the lambdas formed the same way). The lower end x_lo alone chooses the form
// for the whole segment:
//   - without Klein-Nishina, x_lo < 0.001 or NaN: Thomson form,
//     G = (1 - R^(1-p))/(p - 1) if lambda1^3 (p-1)^2 > 6e-6,
//     else lambda2 - (Lambda/2)(p - 1);  delta = (w_lo x_lo) G;
//   - 0.001 <= x_lo < 1: delta = (Q w_lo) x_lo^p, Q the Romberg integral of
//     trans_kn over [x_lo, x_hi];
//   - 1 <= x_lo < 100: the same with trans_kn_fit;
//   - x_lo >= 100: the asymptotic form F = 4.5 (ln x - 1.8333333333333333)/x^2
//     integrated in closed form with I = p + 1, J = I*I:
//     K = (1 - R^(1-(p+2)) (1 + lambda2 I))/J if lambda4^4 * 0.125 * J > 1e-6,
//         else (lambda1^3 I)/(-3) + Lambda*0.5,
//     E = (1 - R^(1-(p+2)))/I if lambda1^3 J > 6e-6, else lambda2 - (Lambda*0.5) I,
//     delta = ((w_lo*4.5) (K + (ln x_lo - 1.8333333333333333) E))/x_lo.
// rate_i = (Sigma delta * C_T)/(C_x * C_x). Every product and sum is formed
// in the order written. The series branches are the start of the expansions
// for p near 1 (Thomson) or -1 (asymptotic form) and for very short
// segments; where d replaces L the Thomson G exceeds the segment integral by
// the relative amount d/2.
//
// Failures: a Romberg error ("qromb: too many steps", e.g. for a segment of
// equal frequencies and values, whose index is NaN) ends the call with the
// "called `Result::unwrap()` on an `Err` value" failure carrying it; a `uu`
// shorter than `freqs` (with gg non-empty) and an empty `freqs` (with gg
// non-empty) end it with the array-index failure. One frequency gives rates
// 0, an empty `gg` an empty result whatever the other inputs.
#pragma once

#include <cstddef>
#include <vector>

namespace ostrel::radiation {

// rows * cols, or std::length_error("capacity overflow") when the product
// exceeds the element count a vector of doubles can hold (a check for tables
// of rows x cols doubles).
std::size_t checked_table_size(std::size_t rows, std::size_t cols);

std::vector<double> rad_cool_pwl(const std::vector<double>& gg, const std::vector<double>& freqs,
                                 const std::vector<double>& uu, bool with_kn);

}  // namespace ostrel::radiation

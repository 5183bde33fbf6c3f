// Inverse-Compton emissivity of electrons scattering an isotropic seed field,
// on the frequencies `freqs` (Hz), which are also the grid of the seed
// intensity `inu` (erg s^-1 cm^-2 Hz^-1 sr^-1).
//
// The seed intensity is a power law of index alpha on each seed segment
// [nu_i, nu_(i+1)] and the electron distribution `n`, tabulated on the
// increasing Lorentz-factor grid `g`, a power law of index p on each electron
// segment [g_j, g_(j+1)] (indices -ln(v_hi/v_lo)/ln(x_hi/x_lo) clamped to
// [-8, 8]; a segment is skipped unless both its values are > 1e-200, the
// upper value read only when the lower one passed). Scattering is in the
// Thomson regime with the isotropic-rest-frame kernel (1 - z), z the ratio of
// the scattered frequency to its maximum 4 gamma^2 nu_seed (Rybicki &
// Lightman, sec. 7.3); electrons above gamma_KN = 2.0467764442059716e-07 /
// (nu_(i+1) * 6.62607015e-27) = m_e c^2 / (4 h nu_(i+1)) are left out. Each
// (seed segment, electron segment) pair contributes the difference of two
// closed-form double integrals `sscr`. For one output frequency nu
// (N_f = 1 gives 0):
//
//   for each seed segment i, ascending, with both intensities > 1e-200:
//     gamma_max = fmin(g_last, gamma_KN); x = nu/(nu_i*4);
//     gamma_min = fmax(g_0, sqrt(x)); skip unless gamma_min < gamma_max;
//     y_lo = fmax(nu/(nu_(i+1)*4), 0.25); G = pow(x, -alpha)
//     for each electron segment j, ascending, with gamma_min <= g_j <= gamma_max
//     and both values > 1e-200:
//       m = fmin(g_(j+1), gamma_KN); M = m*m; N = fmin(x, M); skip unless N > y_lo
//       P = (p-1)*0.5; Q = (((alpha+alpha) - p) - 1)*0.5; S = g_j*g_j
//       U = sscr(1/M, 1/S, y_lo, N, P, Q) - sscr(1/M, 1/S, y_lo, N, P+1, Q)
//       sum = sum + G * ((I_i * (pow(g_j, p) * (n_j * U))) * sigma_T)
//
// The result is the emissivity per unit solid angle, proportional to
// nu^(-(p-1)/2) where no cut applies.
//
// Work outside the per-frequency step: the statuses and indices of all seed
// and electron segments, pow(g_j, p), and for every pair with g_j <=
// gamma_max the factors of both sscr calls that involve neither y_lo nor N
// (sscr.hpp) are formed once before the parallel map, with the same
// operations as above, so each frequency only evaluates what depends on it
// and the result is the same bits as the formula evaluated per frequency.
// The pairs are prepared by a parallel map over the seed segments, taken in
// bit-reversed order so that the pieces of that map cost about the same (the
// number of pairs falls steeply with the seed frequency), or on the calling
// thread when there are too few to pay for the hand-off (fewer than 256 used
// seed segments times electron segments); the two sscr calls of a pair share
// the switched logarithms of X2/X1.
// The switched logarithms of N/y_lo are shared by the two sscr calls and by
// all pairs with N = x.
//
// Failures (array-index form), in exactly the situations where the formula
// above reads past an input: `inu` shorter than the entries the seed
// segments read, an empty `g` once a seed segment passes its intensity test,
// and `n` shorter than the entries read by an electron segment that falls
// inside [gamma_min, gamma_max] for some frequency. No other checks: zero or
// negative grid values give NaN or infinities in the result.
//
// A frequency evaluated in a map that has been asked to stop (Ctrl-C, see
// parallel/pool.hpp) gives up between two seed segments by throwing
// Interrupted.
#pragma once

#include <vector>

namespace ostrel::radiation {

std::vector<double> ic_iso_powlaw_full(const std::vector<double>& freqs, const std::vector<double>& inu,
                                       const std::vector<double>& g, const std::vector<double>& n);

}  // namespace ostrel::radiation

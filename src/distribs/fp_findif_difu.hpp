// One fully implicit time step of the electron Fokker-Planck equation
//
//   dn/dt = d/dgamma [ (D/2) dn/dgamma + (gdot + D'/2) n ] + Q - n / t_esc
//
// on a fixed grid of Lorentz factors, with the exponential weighting of
// Chang & Cooper (1970, J. Comput. Phys. 6, 1) and backward Euler in time
// (as in Park & Petrosian 1996, ApJS 103, 255). gdot > 0 is an energy loss.
//
// Time is measured in units of tlc: rates are multiplied by tlc, dt_in and
// (for 1e-100 < tesc_in < 1e100, both strict) tesc_in divided by it; an
// escape time outside that interval is used unscaled, so 1e200 stands for no
// escape. Quantities at the half-grid points j +- 1/2 of row j:
//   widths     d+_j = g_{j+1} - g_j (the last repeated), d-_j = d+_{j-1},
//              d-_0 = d+_0, cell width (d+_j + d-_j) * 0.5;
//   diffusion  C+_j = (D_{j+1} + D_j) * 0.25, C+_{N-1} = D_{N-1} * 0.25,
//              C-_j = C+_{j-1}, C-_0 = D_0 * 0.25;
//   systematic B+_j = ((D_{j+1} - D_j)/d+_j + (G_{j+1} + G_j)) * 0.5, the
//              last equal to the one before, B-_j = B+_{j-1}, and B-_0
//              extrapolated to g_0 by polint through all N-1 points
//              (g_j, B-_j), j >= 1 (degree N-2); where that overflows
//              (grids of thousands of points) from finite coefficients, the
//              nearest coefficient B-_1 is used, so the step stays finite;
//   Chang-Cooper w = (d B)/C, h = w/2 limited to [-200, 200], weight
//              W = (w/2)/sinh(w/2): the series 1 - w^2/24 + 7w^4/5760 -
//              31w^6/967680 below |w| = 0.1, else |w| e^-|h| / (1 - e^-2|h|)
//              on the + side and |w| / (e^|h| - e^-|h|) on the - side.
// Row j of the tridiagonal system, with the limited h:
//   a_j = -dt C-_j W-_j e^(-h-_j) / (cell_j d-_j),
//   c_j = -dt C+_j W+_j e^(h+_j) / (cell_j d+_j),
//   b_j = 1 + dt (C+ W+ e^(-h+) / d+ + C- W- e^(h-) / d-) / cell_j + dt/t_esc,
//   r_j = n_j + Q_j dt,
// the outer couplings a_0 and c_{N-1} dropped (n = 0 just outside the grid:
// particles leave through both ends). Solved by tridag_ser; no clamping or
// renormalisation of the result. Every bracket of these expressions is
// evaluated in the order written in the source, products rounded before they
// are added. The two weight forms agree only to rounding, so a half-grid
// point's flux seen from its two sides can differ in the last bit: the
// scheme conserves particles to rounding.
//
// Failures (internal):
//  - "FP_FinDif_difu: input vectors differ in length (...)" naming the five
//    lengths, checked first;
//  - with check_params, any NaN among the inputs: "FP_FinDif_difu: at least
//    one input parameter is not correctly defined" (infinities pass);
//  - fewer than two grid points: index out of bounds;
//  - the extrapolation failing (two equal g_j, j >= 1): the polint error
//    value, passed on; a zero pivot: the tridag_ser messages.
// On grids of thousands of points the extrapolation takes seconds; it
// consults the calling thread's stop check (misc/interrupt.hpp) and throws
// Interrupted when asked to stop.
#pragma once

#include <vector>

namespace ostrel::distribs {

inline constexpr const char* kFpBadInput =
    "FP_FinDif_difu: at least one input parameter is not correctly defined";

std::vector<double> fp_findif_difu(double dt_in, const std::vector<double>& gamma_bins,
                                   const std::vector<double>& nin, const std::vector<double>& gdot_in,
                                   const std::vector<double>& din, const std::vector<double>& qin,
                                   double tesc_in, double tlc, bool check_params);

}  // namespace ostrel::distribs

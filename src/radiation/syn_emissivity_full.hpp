// Synchrotron emissivity and self-absorption coefficient of a tabulated
// electron distribution in a uniform magnetic field, CGS units.
//
// For each frequency nu (one independent point of a parallel map, results in
// frequency order) and field B:
//   nu_B = B 2799248.987233304, chi = nu / nu_B,
//   j_nu = K_j   sum_i g_i^q_i (n_i I_i),          K_j = nu_B 6.6645698196351e-30
//   a_nu = K_a / nu^2 sum_i g_i^q_i (n_i I^a_i),   K_a = nu_B 0.0036580794255805012
// i.e. j_nu = sqrt(3) e^3 B / (4 pi m_e c^2) Int n(g) R dg per steradian and
// a_nu = sqrt(3) e^3 B / (8 pi m_e^2 c^2 nu^2) Int (n / g) (q + 1 + g^2 / (g^2 - 1)) R dg,
// the absorption of Rybicki & Lightman eq. 6.50 written with the electron
// momentum, with R = rma_new(chi, g) the pitch-angle-averaged kernel.
// Between neighbouring grid points n is the power law n_i (g / g_i)^-q with
// q = -ln(n_(i+1) / n_i) / ln(g_(i+1) / g_i) clamped to [-8, 8]; a segment with
// n <= 1e-100 (or NaN) at either end is skipped before any logarithm. Over
// u = ln g in [ln g_i, ln g_(i+1)] the segment integrals are
//   I   = Int g^(1-q) R du,
//   I^a = Int ((q + 1) + g^2 / (g^2 + (-1))) (g^-q R) du,
// where the lower end of I^a uses g = 1.0000000001 when exp(ln g_i) - 1 <= 1e-10.
// Sums below 1e-200 (and negative sums) become 0; NaN passes unchanged.
//
// Each integral is Romberg's (the driver of misc/romberg.hpp): trapezoid
// levels j = 0, 1, ... (level j >= 1 adds 2^(j-1) midpoints, accumulated from
// u_a + delta/2 by adding delta), the estimates extrapolated to zero step in
// z = 4^-j with a 10-point Neville polynomial from level 9 (emission) or 10
// (absorption) on, stopping when |dss| <= 1e-5 |ss|. An integral that does
// not converge writes a block of diagnostic lines (emission: standard output
// and a last line, without line end, on standard error; absorption: standard
// error; values in their shortest round-trip positional decimal form) and
// contributes its last estimate. The lines of one report on one stream are
// written in one piece under a process-wide lock (misc/failure.hpp), so the
// reports of different workers never interleave.
//
// Failures: reading a missing entry of n_distrib (n_(i+1) is read only when
// n_i passed its test) or any entry of an empty grid is the array-index
// internal failure, raised when the frequency's computation reaches it.
// A frequency evaluated in a map that has been asked to stop (Ctrl-C, see
// parallel/pool.hpp) gives up between two segments by throwing Interrupted.
//
// Work bound for integrals that never converge. Once a trapezoid estimate is
// not finite every later one is not finite either and, after the test of that
// level (which an infinite estimate can pass: its extrapolation is infinite
// too), no later extrapolation can pass the test; the integration stops
// there and reports the values the full 60 levels would end with: NaN for
// both the estimate and its error (this is how a zero or negative Lorentz
// factor, or an overflowing power, shows up). Otherwise the integration stops
// after level kLastLevel = 22 (2^22 + 1 integrand evaluations, about 0.2 s)
// instead of level 59 and reports that level's estimate. Every
// integral that converges by level 22 is computed exactly as without the
// bound; in practice they converge at the first test or a few levels later.
//
// Speed without changing a bit: the quadrature nodes of a segment and every
// factor of the integrands that does not depend on the frequency (g = exp(u),
// 0.75 / g, g g 3, the powers of g, the absorption factor) are tabulated per
// segment before the parallel map, with the operations the integrand uses; a
// kernel value R computed for the emission integral is reused by the
// absorption integral at the same node; a segment whose every node up to the
// first test lies at or below the cut-off, or where exp(-x) underflows at every
// such node, has an exactly zero integrand there, converges at its first test
// with the value 0 and is not evaluated. Absorption diagnostics are written
// after all emission work of the frequency, in the order of a separate pass.
// The tables hold levels 0 to 10 (deeper levels make each node afresh the
// same way) and take at most 48 MiB at a time: a grid with more segments
// than fit is processed in consecutive blocks of segments of about equal
// size, each block's tables built (in parallel, segment by segment), used by
// every frequency and released before the next block. A frequency carries
// its two sums and its pending reports from block to block; its reports are
// written when it is done (or, for the emission reports, just before a
// failing read), in the order of one pass over the whole grid. Blocking
// changes neither the order of any sum nor the zero shortcut, so results,
// reports and failures are those of one pass, and time and memory grow in
// proportion to the grid.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "misc/romberg.hpp"
#include "power_law_integrals/segment.hpp"

namespace ostrel::radiation {

std::pair<std::vector<double>, std::vector<double>> syn_emissivity_full(
    const std::vector<double>& freqs, const std::vector<double>& gamma_bins,
    const std::vector<double>& n_distrib, double b_field, bool with_abs);

// Internals, exposed for the unit tests.
namespace syn {

inline constexpr int kExtrapolationPoints = 10;
inline constexpr int kEmissionFirstTest = 9;
inline constexpr int kAbsorptionFirstTest = 10;
inline constexpr int kLastLevel = 22;
inline constexpr double kTolerance = 1e-5;
inline constexpr double kFloor = 1e-200;
inline constexpr double kNegligible = 1e-100;
inline constexpr double kLowerEndGuard = 1.0000000001;

// The outcome of one segment integral: the estimate, its error estimate, the
// last level computed, and whether the tolerance test was met.
using Integral = misc::RombergEstimate;

using Status = power_law_integrals::SegmentStatus;

struct Segment;

// Everything that does not depend on the frequency.
struct Setup {
    struct Entry {
        Status status;
        std::size_t segment;  // index into `segments` when used
    };
    std::vector<Entry> entries;  // one per grid segment, up to the first failing read
    std::vector<Segment> segments;
    double nu_b = 0.0;
    bool with_abs = false;
    int table_depth = 0;  // deepest tabulated level

    Setup();
    ~Setup();
    Setup(Setup&&) noexcept;
    Setup& operator=(Setup&&) noexcept;
};

// The integrals of each integrated segment, in grid order.
struct Trace {
    std::vector<Integral> emission;
    std::vector<Integral> absorption;
};

// table_depth: the deepest tabulated level; -1 chooses it from the memory
// budget (at most level 10). Deeper levels are evaluated node by node.
Setup prepare(const std::vector<double>& gamma_bins, const std::vector<double>& n_distrib,
              double b_field, bool with_abs, int table_depth = -1);

// The Romberg integration of the segment integrals, for a plain integrand
// f(u, p) over [u_a, u_b] (end values f(u_b, p) + f(u_a, p), nodes accumulated
// from u_a + delta/2), with the same levels, test and work bound.
Integral romberg_integral(double (*f)(double u, double p), double p, double u_a, double u_b,
                          int first_test);

// (j_nu, a_nu) at one frequency, the whole setup taken as one block.
std::pair<double, double> evaluate(const Setup& setup, double nu, Trace* trace = nullptr);

// The kernel with the segments in blocks of at most `block_segments` used
// segments (0: as many as the memory budget allows, which is what
// syn_emissivity_full does).
std::pair<std::vector<double>, std::vector<double>> evaluate_in_blocks(
    const std::vector<double>& freqs, const std::vector<double>& gamma_bins,
    const std::vector<double>& n_distrib, double b_field, bool with_abs, std::size_t block_segments);

}  // namespace syn
}  // namespace ostrel::radiation

// Romberg integration (Press et al., Numerical Recipes, sec. 4.3): the one
// driver behind qromb_w2arg and the synchrotron segment integrals. The caller
// supplies the trapezoid sums, so it chooses how the nodes are formed and in
// which order their values are added; the driver owns the levels, the
// extrapolation and the stopping rules, set by a Rombergscheme.
//
// Over an interval of length h, level 0 is the trapezoid estimate
// T_0 = (h * 0.5) * ends, `ends` the sum of the integrand at both end points;
// level j >= 1 adds the 2^(j-1) midpoints of the panels of level j - 1:
//   delta = h / 2^(j-1),   T_j = (T_(j-1) + delta * level_sum(j, delta)) * 0.5,
// level_sum(j, delta) being the sum of the integrand over those new nodes.
// From level first_test on, the `order` latest estimates T_(j-order+1) ... T_j
// are extrapolated to zero step size by polint against their relative squared
// steps z_k = 4^-k (z_0 = 1, z_(k+1) = 0.25 z_k); the integration ends,
// converged, at the first extrapolation y with |dy| <= tolerance |y| (a NaN
// fails the test). Level j costs 2^(j-1) evaluations, so a result at level j
// has cost 2^j + 1 (ends included).
//
// Not converged by last_level: the estimate is the last extrapolation (value
// y, error dy; both 0 if no level was tested), level = last_level.
// With stop_when_not_finite, the integration also ends, unconverged, after
// the test of the first level whose trapezoid estimate is not finite, with
// value and error NaN: every later estimate is then not finite too (an
// infinite one can still pass its own level's test, its extrapolation being
// infinite as well, but no later extrapolation can), so this is where the
// remaining levels would end, without their work.
//
// Error value: a polint error, passed on unchanged (it cannot occur: the z_k
// are distinct). The driver keeps its work space on the stack, holds no
// shared state and is reentrant.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "misc/failure.hpp"
#include "misc/polint.hpp"

namespace ostrel::misc {

// The deepest level any scheme may ask for: 2^30 + 1 evaluations.
inline constexpr int kRombergMaxLevel = 30;

struct RombergScheme {
    int order;                  // points of the extrapolation polynomial, >= 1
    int first_test;             // first level tested, >= order - 1
    int last_level;             // last level computed, <= kRombergMaxLevel
    double tolerance;           // relative: |dy| <= tolerance |y|
    bool stop_when_not_finite;  // end at the first non-finite estimate
};

inline constexpr const char* kRombergBadScheme = "romberg: scheme out of range";

// The outcome: the estimate, its error estimate, the last level computed, and
// whether the tolerance test was met.
struct RombergEstimate {
    double value = 0.0;
    double error = 0.0;
    int level = 0;
    bool converged = false;
};

// A scheme out of range is a programming error: the internal failure
// kRombergBadScheme.
template <class LevelSum>
Result<RombergEstimate> romberg(const RombergScheme& scheme, double h, double ends, LevelSum&& level_sum) {
    if (!(scheme.order >= 1 && scheme.first_test >= scheme.order - 1 && scheme.last_level >= 0 &&
          scheme.last_level <= kRombergMaxLevel)) {
        fail(kRombergBadScheme);
    }
    const std::size_t order = static_cast<std::size_t>(scheme.order);
    double s[kRombergMaxLevel + 1];  // trapezoid estimates T_j
    double z[kRombergMaxLevel + 1];  // relative squared steps 4^-j
    RombergEstimate out;
    double t = (h * 0.5) * ends;
    double step = 1.0;
    for (int j = 0; j <= scheme.last_level; ++j) {
        if (j > 0) {
            const double delta = h / static_cast<double>(std::uint64_t{1} << (j - 1));
            t = (t + delta * level_sum(j, delta)) * 0.5;
            step = 0.25 * step;
        }
        s[j] = t;
        z[j] = step;
        out.level = j;
        if (j >= scheme.first_test) {
            const std::size_t first = static_cast<std::size_t>(j - (scheme.order - 1));
            const auto fit = polint(std::span<const double>(z + first, order),
                                    std::span<const double>(s + first, order), 0.0);
            if (!fit.is_ok()) return Result<RombergEstimate>::err(fit.error());
            out.value = fit.value().y;
            out.error = fit.value().dy;
            if (std::fabs(out.error) <= scheme.tolerance * std::fabs(out.value)) {
                out.converged = true;
                return Result<RombergEstimate>::ok(out);
            }
        }
        if (scheme.stop_when_not_finite && !std::isfinite(t)) {
            constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
            return Result<RombergEstimate>::ok({kNaN, kNaN, j, false});
        }
    }
    return Result<RombergEstimate>::ok(out);
}

}  // namespace ostrel::misc

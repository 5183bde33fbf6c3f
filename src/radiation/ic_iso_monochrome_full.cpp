#include "radiation/ic_iso_monochrome_full.hpp"

#include <cmath>
#include <cstddef>

#include "misc/constants.hpp"
#include "misc/failure.hpp"
#include "parallel/parallel_map.hpp"
#include "power_law_integrals/ratio_integral.hpp"
#include "power_law_integrals/segment.hpp"

namespace ostrel::radiation {

namespace {

using power_law_integrals::ratio_integral;
using power_law_integrals::read_segment;
using power_law_integrals::SegmentValues;
using power_law_integrals::switched_logs;
using Status = power_law_integrals::SegmentStatus;

// Electron densities at or below this are skipped.
constexpr double kFloor = 1e-200;

// One electron segment, with everything that does not depend on the output
// frequency.
struct Segment {
    Status status = Status::skip;
    bool below_cap = false;  // g_i <= g_hi
    double n_lo = 0.0;       // n_i
    double g_lo2 = 0.0;      // g_i * g_i
    double g_hi2 = 0.0;      // g_hi * g_hi
    double q1 = 0.0;
    double q2 = 0.0;
    double weight = 0.0;     // pow(g_i, p)
    double zero_term = 0.0;  // pow(g_i, p) * (n_i * 0.0): the term when F = 0
    double r1 = 0.0;         // R(rho; -1-q1, q1+1) for rho = (g_hi/g_i)^2
    double r2 = 0.0;         // R(rho; -1-q2, q2+1) for rho = (g_hi/g_i)^2
};

// The segments in ascending order, up to and including the first one whose
// reads fail (every frequency stops there at the latest).
std::vector<Segment> prepare_segments(const std::vector<double>& n, const std::vector<double>& g,
                                      double gamma_kn) {
    std::vector<Segment> segments;
    if (g.empty()) {
        // The first segment would read g[1].
        segments.push_back(Segment{Status::fail});
        return segments;
    }
    segments.resize(g.size() - 1);
    for (std::size_t i = 0; i + 1 < g.size(); ++i) {
        Segment& s = segments[i];
        const double g_lo = g[i];
        const double g_hi = std::fmin(g[i + 1], gamma_kn);
        const SegmentValues v = read_segment(n, i, kFloor);
        if (v.status == Status::fail) {
            s.status = Status::fail;
            segments.resize(i + 1);
            break;
        }
        if (v.status == Status::skip) continue;

        const double n_lo = v.lo;
        const double p = power_law_integrals::segment_index(n_lo, v.hi, g_lo, g[i + 1]);
        s.status = Status::use;
        s.below_cap = g_lo <= g_hi;
        s.n_lo = n_lo;
        s.g_lo2 = g_lo * g_lo;
        s.g_hi2 = g_hi * g_hi;
        s.q1 = (p - 1.0) * 0.5;
        s.q2 = (p + 1.0) * 0.5;
        s.weight = std::pow(g_lo, p);
        s.zero_term = s.weight * (n_lo * 0.0);
        const double rho = (g_hi / g_lo) * (g_hi / g_lo);
        const auto logs = switched_logs(rho);
        s.r1 = ratio_integral(logs, rho, -1.0 - s.q1, s.q1 + 1.0);
        s.r2 = ratio_integral(logs, rho, -1.0 - s.q2, s.q2 + 1.0);
    }
    return segments;
}

// Whether pow(x, -q1) * zero_term is a zero, which leaves the sum unchanged
// (the sum starts at +0 and so is never -0). |q1| <= 4.5 after the clamp, so
// for 1e-60 <= x <= 1e60 the power is finite.
bool zero_term_vanishes(const Segment& s, double x) {
    return s.zero_term == 0.0 && !std::isnan(s.q1) && x >= 1e-60 && x <= 1e60;
}

double emissivity_sum(const std::vector<Segment>& segments, double x) {
    double sum = 0.0;
    for (const Segment& s : segments) {
        if (s.status == Status::fail) fail_array_index();
        if (s.status == Status::skip) continue;
        double ra;
        double rb;
        if (s.below_cap && x >= 0.25 && x <= s.g_lo2) {
            ra = s.r1;
            rb = s.r2;
        } else if (s.g_lo2 < x && x <= s.g_hi2) {
            const double rho = s.g_hi2 / x;
            const auto logs = switched_logs(rho);
            ra = ratio_integral(logs, rho, -1.0 - s.q1, s.q1 + 1.0);
            rb = ratio_integral(logs, rho, -1.0 - s.q2, s.q2 + 1.0);
        } else {
            if (!zero_term_vanishes(s, x)) sum = sum + std::pow(x, -s.q1) * s.zero_term;
            continue;
        }
        const double t = x / s.g_hi2;
        const double F = std::pow(t, s.q2) * (ra - t * rb);
        sum = sum + std::pow(x, -s.q1) * (s.weight * (s.n_lo * F));
    }
    return sum;
}

}  // namespace

std::vector<double> ic_iso_monochrome_full(const std::vector<double>& freqs, double uext, double nuext,
                                           const std::vector<double>& n, const std::vector<double>& g) {
    const double gamma_kn = constants::me_c2_quarter / (nuext * constants::h);
    const std::vector<Segment> segments =
        freqs.empty() ? std::vector<Segment>{} : prepare_segments(n, g, gamma_kn);
    const double x_scale = nuext * 4.0;
    return parallel::map_values<double>(freqs, [&](double nu) {
        const double sum = emissivity_sum(segments, nu / x_scale);
        return (uext * ((sum * constants::c) * constants::sigma_t)) / nuext;
    });
}

}  // namespace ostrel::radiation

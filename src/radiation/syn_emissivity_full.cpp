#include "radiation/syn_emissivity_full.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "misc/constants.hpp"
#include "misc/failure.hpp"
#include "misc/interrupt.hpp"
#include "misc/romberg.hpp"
#include "parallel/parallel_map.hpp"
#include "power_law_integrals/segment.hpp"
#include "radiation/rma_new.hpp"

namespace ostrel::radiation {
namespace syn {

namespace {

using power_law_integrals::read_segment;
using power_law_integrals::segment_index;
using power_law_integrals::SegmentValues;

// Deepest tabulated level and the memory the tables of one call may take.
constexpr int kMaxTableDepth = 10;
constexpr std::size_t kTableBudget = std::size_t{48} << 20;

}  // namespace

// The frequency-independent factors of both integrands at one node g:
// 0.75 / g and g g 3 for the kernel, g^(1-q) for the emission integrand,
// g^-q and (q + 1) + g^2 / (g^2 + (-1)) for the absorption integrand.
struct Node {
    double cutoff;
    double x_denominator;
    double emission_power;
    double absorption_power;
    double absorption_factor;
};

struct Segment {
    double n_i;
    double q;
    double one_minus_q;
    double minus_q;
    double q_plus_one;
    double g_i_to_q;  // pow(g_i, q)
    double u_a;
    double h;
    double ga;
    double gb;
    bool guarded;       // the absorption lower end is 1.0000000001, not ga
    Node lower_abs;     // the absorption integrand's lower end node
    std::vector<Node> nodes;  // levels 0 .. depth: [ga, gb, level 1, level 2, ...]
    // Whether every integrand value up to the first test is exactly zero can
    // be decided from the extreme node factors, when all factors are finite.
    bool zero_test_emission = false;
    bool zero_test_absorption = false;
    double cutoff_min_emission = 0.0;
    double x_denominator_max_emission = 0.0;
    double cutoff_min_absorption = 0.0;
    double x_denominator_max_absorption = 0.0;
};

Setup::Setup() = default;
Setup::~Setup() = default;
Setup::Setup(Setup&&) noexcept = default;
Setup& Setup::operator=(Setup&&) noexcept = default;

namespace {

// Level j >= 1 of the Romberg sequence adds 2^(j-1) nodes; in the node
// tables they follow the two end points and the nodes of the lower levels.
std::size_t level_count(int j) { return std::size_t{1} << (j - 1); }
std::size_t level_offset(int j) { return level_count(j) + 1; }

inline double emission_power(double g, const Segment& s) { return std::pow(g, s.one_minus_q); }

inline Node make_node(double g, const Segment& s, bool with_abs) {
    Node node{rma_cutoff(g), rma_x_denominator(g), emission_power(g, s), 0.0, 0.0};
    if (with_abs) {
        const double g2 = g * g;
        node.absorption_power = std::pow(g, s.minus_q);
        node.absorption_factor = s.q_plus_one + g2 / (g2 + -1.0);
    }
    return node;
}

inline double emission_value(const Node& node, double r) { return node.emission_power * r; }
inline double absorption_value(const Node& node, double r) {
    return node.absorption_factor * (node.absorption_power * r);
}
inline double kernel(const Node& node, double chi, double chi2) {
    return rma_from_factors(chi, chi2, node.cutoff, node.x_denominator);
}

// The smallest cut-off and largest g g 3 over a set of nodes; usable to
// decide that the integrand vanishes only when every weight is finite (so
// that weight times a zero kernel is zero) and every g g 3 positive.
struct Extremes {
    bool usable = true;
    double cutoff_min = std::numeric_limits<double>::infinity();
    double x_denominator_max = 0.0;

    void add(const Node& node, bool absorption) {
        const bool finite_weights =
            absorption ? std::isfinite(node.absorption_power) && std::isfinite(node.absorption_factor)
                       : std::isfinite(node.emission_power);
        if (!finite_weights || std::isnan(node.cutoff) || !(node.x_denominator > 0.0) ||
            !std::isfinite(node.x_denominator)) {
            usable = false;
            return;
        }
        if (node.cutoff < cutoff_min) cutoff_min = node.cutoff;
        if (node.x_denominator > x_denominator_max) x_denominator_max = node.x_denominator;
    }
};

Segment build_segment(double n_i, double g0, double g1, double q, bool with_abs, int depth) {
    Segment s{};
    s.n_i = n_i;
    s.q = q;
    s.one_minus_q = 1.0 - q;
    s.minus_q = -q;
    s.q_plus_one = q + 1.0;
    s.g_i_to_q = std::pow(g0, q);
    s.u_a = std::log(g0);
    const double u_b = std::log(g1);
    s.h = u_b - s.u_a;
    s.ga = std::exp(s.u_a);
    s.gb = std::exp(u_b);
    s.guarded = s.ga - 1.0 <= 1e-10;
    s.lower_abs = make_node(s.guarded ? kLowerEndGuard : s.ga, s, with_abs);

    s.nodes.resize((std::size_t{1} << depth) + 1);
    s.nodes[0] = make_node(s.ga, s, with_abs);
    s.nodes[1] = make_node(s.gb, s, with_abs);
    for (int j = 1; j <= depth; ++j) {
        const double delta = s.h / static_cast<double>(level_count(j));
        double u = s.u_a + delta * 0.5;
        Node* out = s.nodes.data() + level_offset(j);
        for (std::size_t k = 0; k < level_count(j); ++k) {
            out[k] = make_node(std::exp(u), s, with_abs);
            u = u + delta;
        }
    }

    if (std::isfinite(s.h)) {
        if (depth >= kEmissionFirstTest) {
            Extremes e;
            for (std::size_t k = 0; k < level_offset(kEmissionFirstTest + 1); ++k) e.add(s.nodes[k], false);
            s.zero_test_emission = e.usable;
            s.cutoff_min_emission = e.cutoff_min;
            s.x_denominator_max_emission = e.x_denominator_max;
        }
        if (with_abs && depth >= kAbsorptionFirstTest) {
            Extremes a;
            a.add(s.lower_abs, true);
            for (std::size_t k = 1; k < level_offset(kAbsorptionFirstTest + 1); ++k) a.add(s.nodes[k], true);
            s.zero_test_absorption = a.usable;
            s.cutoff_min_absorption = a.cutoff_min;
            s.x_denominator_max_absorption = a.x_denominator_max;
        }
    }
    return s;
}

// True when the kernel is exactly 0 at every node behind the extremes: each node
// is at or below the cut-off, or has x >= 746 where exp(-x) is 0 (x = chi2 /
// (g g 3) is smallest at the largest g g 3, division being monotone).
bool integrand_vanishes(bool usable, double cutoff_min, double x_denominator_max, double chi,
                        double chi2) {
    if (!usable) return false;
    return !rma_above_cutoff(chi, cutoff_min) || chi2 / x_denominator_max >= rma::kUnderflow;
}

// Romberg integration over [u_a, u_a + h] as described in the header, with
// its work bound. `ends` is f(u_b) + f(u_a); `level_sum(j, delta)` the sum of
// f over the 2^(j-1) new nodes of level j, accumulated from u_a + delta/2.
constexpr misc::RombergScheme scheme(int first_test) {
    return {kExtrapolationPoints, first_test, kLastLevel, kTolerance, true};
}

template <class LevelSum>
Integral romberg(double ends, double h, int first_test, LevelSum&& level_sum) {
    return misc::romberg(scheme(first_test), h, ends, level_sum).unwrap();
}

// The sum of f over the nodes of a level deeper than the tables, each node
// made as the tables make theirs.
template <class F>
double untabulated_level_sum(const Segment& s, double delta, std::size_t count, bool with_abs, F&& f) {
    double sum = 0.0;
    double u = s.u_a + delta * 0.5;
    for (std::size_t k = 0; k < count; ++k) {
        sum = sum + f(make_node(std::exp(u), s, with_abs));
        u = u + delta;
    }
    return sum;
}

// Kernel values of the emission integral of the current segment, kept for
// the absorption integral at the same nodes.
struct KernelCache {
    std::vector<double> r;
    int levels = -1;  // levels 0 .. levels are filled
};

Integral emission_integral(const Segment& s, int depth, double chi, double chi2, KernelCache& cache) {
    cache.levels = -1;
    if (integrand_vanishes(s.zero_test_emission, s.cutoff_min_emission, s.x_denominator_max_emission,
                           chi, chi2)) {
        return {0.0, 0.0, kEmissionFirstTest, true};
    }
    double* r = cache.r.data();
    r[0] = kernel(s.nodes[0], chi, chi2);
    r[1] = kernel(s.nodes[1], chi, chi2);
    cache.levels = 0;
    const double ends = emission_value(s.nodes[1], r[1]) + emission_value(s.nodes[0], r[0]);
    return romberg(ends, s.h, kEmissionFirstTest, [&](int j, double delta) {
        const std::size_t count = level_count(j);
        double sum = 0.0;
        if (j <= depth) {
            const Node* nodes = s.nodes.data() + level_offset(j);
            double* rj = r + level_offset(j);
            for (std::size_t k = 0; k < count; ++k) {
                rj[k] = kernel(nodes[k], chi, chi2);
                sum = sum + emission_value(nodes[k], rj[k]);
            }
            cache.levels = j;
        } else {
            sum = untabulated_level_sum(s, delta, count, false,
                                        [&](const Node& node) { return emission_value(node, kernel(node, chi, chi2)); });
        }
        return sum;
    });
}

Integral absorption_integral(const Segment& s, int depth, double chi, double chi2, const KernelCache& cache) {
    if (integrand_vanishes(s.zero_test_absorption, s.cutoff_min_absorption, s.x_denominator_max_absorption,
                           chi, chi2)) {
        return {0.0, 0.0, kAbsorptionFirstTest, true};
    }
    const double* r = cache.r.data();
    const bool cached_ends = cache.levels >= 0;
    const double r_hi = cached_ends ? r[1] : kernel(s.nodes[1], chi, chi2);
    const double r_lo = cached_ends && !s.guarded ? r[0] : kernel(s.lower_abs, chi, chi2);
    const double ends = absorption_value(s.nodes[1], r_hi) + absorption_value(s.lower_abs, r_lo);
    return romberg(ends, s.h, kAbsorptionFirstTest, [&](int j, double delta) {
        const std::size_t count = level_count(j);
        double sum = 0.0;
        if (j <= cache.levels) {
            const Node* nodes = s.nodes.data() + level_offset(j);
            const double* rj = r + level_offset(j);
            for (std::size_t k = 0; k < count; ++k) sum = sum + absorption_value(nodes[k], rj[k]);
        } else if (j <= depth) {
            const Node* nodes = s.nodes.data() + level_offset(j);
            for (std::size_t k = 0; k < count; ++k) {
                sum = sum + absorption_value(nodes[k], kernel(nodes[k], chi, chi2));
            }
        } else {
            sum = untabulated_level_sum(s, delta, count, true, [&](const Node& node) {
                return absorption_value(node, kernel(node, chi, chi2));
            });
        }
        return sum;
    });
}

// The shortest decimal that reads back as `value`, in positional notation.
std::string decimal(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

struct Unconverged {
    double q, ga, gb, ss, dss;
};

// The report of one integral that did not converge, in the line order and
// texts of the header. The lines of one report are written as one block
// (write_diagnostic), so reports of frequencies evaluated at the same time on
// different workers never interleave; the emission report's closing text,
// which has no line end, goes to standard error right after its block.
void report(bool absorption, double chi, const Unconverged& u) {
    std::string block = absorption ? "ARMA_qromb error\n" : "RMA_qromb error\n";
    block += "chi    = " + decimal(chi) + "\n";
    block += "q      = " + decimal(u.q) + "\n";
    block += "ga     = " + decimal(u.ga) + "\n";
    block += "gb     = " + decimal(u.gb) + "\n";
    block += "qromb  = " + decimal(u.ss) + "\n";
    block += "dqromb = " + decimal(u.dss) + "\n";
    if (absorption) {
        block += "ARMA_qromb: too many steps\n";
        write_diagnostic(stderr, block);
    } else {
        write_diagnostics(stdout, block, stderr, "RMA_qromb: too many steps");
    }
}

int choose_depth(std::size_t segments, int requested) {
    if (requested >= 0) return requested;
    int depth = kMaxTableDepth;
    const std::uint64_t n = segments;  // 64 bits also where size_t has 32
    while (depth > 0 && n * ((std::uint64_t{1} << depth) + 1) * sizeof(Node) > kTableBudget) --depth;
    return depth;
}

// The most segments whose tables of `depth` levels fit the budget (at least one).
std::size_t segments_within_budget(int depth) {
    const std::size_t per_segment = ((std::size_t{1} << depth) + 1) * sizeof(Node);
    return kTableBudget / per_segment > 0 ? kTableBudget / per_segment : 1;
}

// What the grid says about one segment, read in grid order up to and
// including the first read that fails.
struct SegmentInput {
    Status status;
    double n_i = 0.0;
    double g0 = 0.0;
    double g1 = 0.0;
    double q = 0.0;
};

std::vector<SegmentInput> read_inputs(const std::vector<double>& gamma_bins, const std::vector<double>& n_distrib) {
    std::vector<SegmentInput> inputs;
    const std::size_t ng = gamma_bins.size();
    if (ng == 0) {
        // No segment can be read: the first one fails on the grid.
        inputs.push_back({Status::fail});
        return inputs;
    }
    for (std::size_t i = 0; i + 1 < ng; ++i) {
        const SegmentValues v = read_segment(n_distrib, i, kNegligible);
        if (v.status != Status::use) {
            inputs.push_back({v.status});
            if (v.status == Status::fail) break;
            continue;
        }
        const double g0 = gamma_bins[i];
        const double g1 = gamma_bins[i + 1];
        inputs.push_back({Status::use, v.lo, g0, g1, segment_index(v.lo, v.hi, g0, g1)});
    }
    return inputs;
}

// The setup of the segments inputs[begin, end): entries in grid order, the
// tables of the used ones built in parallel (each segment's tables depend
// on that segment alone), or on the calling thread if the workers cannot be
// started: a call of one frequency needs none and must work without them.
Setup build(const std::vector<SegmentInput>& inputs, std::size_t begin, std::size_t end, double b_field,
            bool with_abs, int depth) {
    Setup setup;
    setup.nu_b = b_field * constants::nu_b_per_gauss;
    setup.with_abs = with_abs;
    setup.table_depth = depth;
    std::vector<std::size_t> used;
    for (std::size_t i = begin; i < end; ++i) {
        setup.entries.push_back({inputs[i].status, used.size()});
        if (inputs[i].status == Status::use) used.push_back(i);
    }
    setup.segments = parallel::map_indices_or_here<Segment>(used.size(), [&](std::size_t k) {
        const SegmentInput& in = inputs[used[k]];
        return build_segment(in.n_i, in.g0, in.g1, in.q, with_abs, depth);
    });
    return setup;
}

// One frequency's sums and pending reports, carried from one block of
// segments to the next.
struct Progress {
    double e = 0.0;
    double a = 0.0;
    std::vector<Unconverged> emission_reports;
    std::vector<Unconverged> absorption_reports;
};

// Adds the segments of `setup` to the sums, in grid order. Reports wait in
// `p` until the frequency is done (finish), so that they come out in the
// order of one pass over the whole grid: the emission reports in grid
// order, then the absorption reports, whose pass follows the whole emission
// pass. A segment whose reads failed ends the frequency: the emission
// reports made so far are written, then the failure is raised.
void advance(const Setup& setup, double nu, Progress& p, Trace* trace) {
    const double nu_b = setup.nu_b;
    const double chi = nu / nu_b;
    const double chi2 = chi + chi;
    const double k_j = nu_b * constants::syn_emission_factor;
    const double k_a = nu_b * constants::syn_absorption_factor;
    const double nu2 = nu * nu;
    const int depth = setup.table_depth;

    KernelCache cache;
    cache.r.resize((std::size_t{1} << depth) + 1);
    for (const Setup::Entry& entry : setup.entries) {
        // One frequency over thousands of segments takes a tenth of a second:
        // a map asked to stop (Ctrl-C) gives the point up between segments.
        if (parallel::map_stopping()) throw Interrupted();
        if (entry.status == Status::skip) continue;
        if (entry.status == Status::fail) {
            for (const Unconverged& u : p.emission_reports) report(false, chi, u);
            fail_array_index();
        }
        const Segment& s = setup.segments[entry.segment];

        const Integral ie = emission_integral(s, depth, chi, chi2, cache);
        if (!ie.converged) p.emission_reports.push_back({s.q, s.ga, s.gb, ie.value, ie.error});
        p.e = p.e + s.g_i_to_q * ((k_j * s.n_i) * ie.value);
        if (trace != nullptr) trace->emission.push_back(ie);

        if (setup.with_abs) {
            const Integral ia = absorption_integral(s, depth, chi, chi2, cache);
            if (!ia.converged) p.absorption_reports.push_back({s.q, s.ga, s.gb, ia.value, ia.error});
            p.a = p.a + (s.g_i_to_q * ((k_a * s.n_i) * ia.value)) / nu2;
            if (trace != nullptr) trace->absorption.push_back(ia);
        }
    }
}

// Writes the frequency's reports and applies the floors.
std::pair<double, double> finish(const Progress& p, double chi) {
    for (const Unconverged& u : p.emission_reports) report(false, chi, u);
    for (const Unconverged& u : p.absorption_reports) report(true, chi, u);
    double e = p.e;
    double a = p.a;
    if (e < kFloor) e = 0.0;
    if (a < kFloor) a = 0.0;
    return {e, a};
}

}  // namespace

Setup prepare(const std::vector<double>& gamma_bins, const std::vector<double>& n_distrib, double b_field,
              bool with_abs, int table_depth) {
    const std::vector<SegmentInput> inputs = read_inputs(gamma_bins, n_distrib);
    const int depth = gamma_bins.empty() ? 0 : choose_depth(gamma_bins.size() - 1, table_depth);
    return build(inputs, 0, inputs.size(), b_field, with_abs, depth);
}

Integral romberg_integral(double (*f)(double u, double p), double p, double u_a, double u_b,
                          int first_test) {
    const double h = u_b - u_a;
    return romberg(f(u_b, p) + f(u_a, p), h, first_test, [&](int j, double delta) {
        double sum = 0.0;
        double u = u_a + delta * 0.5;
        for (std::size_t k = 0; k < level_count(j); ++k) {
            sum = sum + f(u, p);
            u = u + delta;
        }
        return sum;
    });
}

std::pair<double, double> evaluate(const Setup& setup, double nu, Trace* trace) {
    Progress p;
    advance(setup, nu, p, trace);
    return finish(p, nu / setup.nu_b);
}

std::pair<std::vector<double>, std::vector<double>> evaluate_in_blocks(
    const std::vector<double>& freqs, const std::vector<double>& gamma_bins,
    const std::vector<double>& n_distrib, double b_field, bool with_abs, std::size_t block_segments) {
    std::vector<double> j_nu(freqs.size(), 0.0);
    std::vector<double> a_nu(freqs.size(), 0.0);
    // No frequency reads the grid: an empty map (which still starts the pool).
    const std::vector<SegmentInput> inputs =
        freqs.empty() ? std::vector<SegmentInput>{} : read_inputs(gamma_bins, n_distrib);

    // Blocks of consecutive segments holding about the same number of used
    // segments, as few as the budget allows.
    const int depth = kMaxTableDepth;
    const std::size_t limit = block_segments > 0 ? block_segments : segments_within_budget(depth);
    std::size_t used = 0;
    for (const SegmentInput& in : inputs) used += in.status == Status::use ? 1 : 0;
    const std::size_t blocks = used == 0 ? 1 : (used + limit - 1) / limit;
    const std::size_t per_block = used == 0 ? 1 : (used + blocks - 1) / blocks;

    std::vector<Progress> progress(freqs.size());
    std::size_t begin = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::size_t end = begin;
        if (b + 1 == blocks) {
            end = inputs.size();
        } else {
            for (std::size_t taken = 0; taken < per_block; ++end) taken += inputs[end].status == Status::use ? 1 : 0;
        }
        const Setup setup = build(inputs, begin, end, b_field, with_abs, depth);
        if (b + 1 < blocks) {
            parallel::map_indices<int>(freqs.size(), [&](std::size_t k) {
                advance(setup, freqs[k], progress[k], nullptr);
                return 0;
            });
        } else {
            const auto points = parallel::map_indices<std::pair<double, double>>(freqs.size(), [&](std::size_t k) {
                advance(setup, freqs[k], progress[k], nullptr);
                const std::pair<double, double> point = finish(progress[k], freqs[k] / setup.nu_b);
                progress[k] = Progress{};  // its reports are written: release them
                return point;
            });
            for (std::size_t k = 0; k < points.size(); ++k) {
                j_nu[k] = points[k].first;
                if (with_abs) a_nu[k] = points[k].second;
            }
        }
        begin = end;
    }
    return {std::move(j_nu), std::move(a_nu)};
}

}  // namespace syn

std::pair<std::vector<double>, std::vector<double>> syn_emissivity_full(
    const std::vector<double>& freqs, const std::vector<double>& gamma_bins,
    const std::vector<double>& n_distrib, double b_field, bool with_abs) {
    return syn::evaluate_in_blocks(freqs, gamma_bins, n_distrib, b_field, with_abs, 0);
}

}  // namespace ostrel::radiation

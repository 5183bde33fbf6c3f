#include "radiation/ic_iso_powlaw_full.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "misc/constants.hpp"
#include "misc/failure.hpp"
#include "misc/interrupt.hpp"
#include "parallel/parallel_map.hpp"
#include "power_law_integrals/ratio_integral.hpp"
#include "power_law_integrals/segment.hpp"
#include "power_law_integrals/sscr.hpp"

namespace ostrel::radiation {

namespace {

using power_law_integrals::read_segment;
using power_law_integrals::segment_index;
using power_law_integrals::SegmentValues;
using power_law_integrals::sscr_combine;
using power_law_integrals::sscr_factors;
using power_law_integrals::sscr_y_factors;
using power_law_integrals::SscrFactors;
using power_law_integrals::SscrYFactors;
using power_law_integrals::SwitchedLogs;
using power_law_integrals::switched_logs;

using Status = power_law_integrals::SegmentStatus;

// Seed intensities and electron densities at or below this are skipped.
constexpr double kFloor = 1e-200;

// Below this many (used seed segment, electron segment) pairs, at most about
// 50 ns each to prepare, the preparation stays on the calling thread.
constexpr std::size_t kSerialPairs = 256;

struct ElectronSegment {
    Status status = Status::skip;
    double g_lo = 0.0;    // g_j
    double g_hi = 0.0;    // g_(j+1)
    double n_lo = 0.0;    // n_j
    double p = 0.0;
    double weight = 0.0;  // pow(g_j, p)
};

struct SeedSegment {
    Status status = Status::skip;
    double nu_lo = 0.0;
    double nu_hi = 0.0;
    double intensity = 0.0;  // I_i
    double alpha = 0.0;
    double gamma_kn = 0.0;
    double gamma_max = 0.0;
};

// One (seed segment, electron segment) pair that some frequency may take.
struct PairTerm {
    bool fails = false;   // the electron segment's reads fail
    double g_lo = 0.0;    // g_j
    double m2 = 0.0;      // M = m*m
    double weight = 0.0;  // pow(g_j, p)
    double n_lo = 0.0;    // n_j
    SscrFactors first;    // sscr(1/M, 1/S, ., ., P, Q) without its Y factors
    SscrFactors second;   // sscr(1/M, 1/S, ., ., P + 1, Q)
};

// Electron segments; from the first one whose reads fail, all later ones fail
// too (n is shorter than their lower index).
std::vector<ElectronSegment> prepare_electrons(const std::vector<double>& g, const std::vector<double>& n) {
    std::vector<ElectronSegment> out(g.size() < 2 ? 0 : g.size() - 1);
    for (std::size_t j = 0; j < out.size(); ++j) {
        ElectronSegment& e = out[j];
        e.g_lo = g[j];
        e.g_hi = g[j + 1];
        const SegmentValues v = read_segment(n, j, kFloor);
        e.status = v.status;
        if (v.status != Status::use) continue;
        e.n_lo = v.lo;
        e.p = segment_index(v.lo, v.hi, e.g_lo, e.g_hi);
        e.weight = std::pow(e.g_lo, e.p);
    }
    return out;
}

// Seed segments in ascending order, up to and including the first one whose
// reads fail (every frequency stops there at the latest).
std::vector<SeedSegment> prepare_seeds(const std::vector<double>& freqs, const std::vector<double>& inu,
                                       const std::vector<double>& g) {
    std::vector<SeedSegment> out(freqs.size() - 1);
    for (std::size_t i = 0; i < out.size(); ++i) {
        SeedSegment& s = out[i];
        // Reads in order: inu[i], then inu[i+1] if inu[i] passed, then g if
        // inu[i+1] passed.
        const SegmentValues v = read_segment(inu, i, kFloor);
        if (v.status == Status::fail || (v.status == Status::use && g.empty())) {
            s.status = Status::fail;
            out.resize(i + 1);
            break;
        }
        if (v.status == Status::skip) continue;
        s.status = Status::use;
        s.nu_lo = freqs[i];
        s.nu_hi = freqs[i + 1];
        s.intensity = v.lo;
        s.alpha = segment_index(v.lo, v.hi, s.nu_lo, s.nu_hi);
        s.gamma_kn = constants::me_c2_quarter / (s.nu_hi * constants::h);
        s.gamma_max = std::fmin(g.back(), s.gamma_kn);
    }
    return out;
}

// The pairs of one seed segment that lie at or below its gamma_max, in
// ascending electron order.
std::vector<PairTerm> prepare_pairs(const SeedSegment& seed, const std::vector<ElectronSegment>& electrons) {
    std::vector<PairTerm> out;
    if (seed.status != Status::use) return out;
    const double a2 = seed.alpha + seed.alpha;
    for (const ElectronSegment& e : electrons) {
        if (e.status == Status::skip || !(e.g_lo <= seed.gamma_max)) continue;
        PairTerm t;
        t.g_lo = e.g_lo;
        if (e.status == Status::fail) {
            t.fails = true;
            out.push_back(t);
            continue;
        }
        const double m = std::fmin(e.g_hi, seed.gamma_kn);
        t.m2 = m * m;
        t.weight = e.weight;
        t.n_lo = e.n_lo;
        const double P = (e.p - 1.0) * 0.5;
        const double Q = ((a2 - e.p) - 1.0) * 0.5;
        const double x1 = 1.0 / t.m2;
        const double x2 = 1.0 / (e.g_lo * e.g_lo);
        const SwitchedLogs logs_x = switched_logs(x2 / x1);
        t.first = sscr_factors(x1, x2, logs_x, P, Q);
        t.second = sscr_factors(x1, x2, logs_x, P + 1.0, Q);
        out.push_back(t);
    }
    return out;
}

// The positions 0 ... n-1 in bit-reversed order (0, n/2, n/4, 3n/4, ... for
// n a power of two; larger values left out otherwise). The map halves its
// range again and again and runs a half that nobody takes over as one piece;
// in this order every such run of positions samples the whole range evenly,
// so pieces cost about the same even where the cost per seed segment falls
// steeply along the grid (low seed frequencies reach every electron segment,
// high ones few or none).
std::vector<std::size_t> spread_order(std::size_t n) {
    std::vector<std::size_t> order;
    order.reserve(n);
    int bits = 0;
    while ((std::size_t{1} << bits) < n) ++bits;
    for (std::size_t k = 0; k < (std::size_t{1} << bits); ++k) {
        std::size_t reversed = 0;
        for (int b = 0; b < bits; ++b) reversed |= ((k >> b) & 1u) << (bits - 1 - b);
        if (reversed < n) order.push_back(reversed);
    }
    return order;
}

// The Y factors of one of the two sscr calls, kept from the previous pair of
// the same seed segment at the same frequency. For fixed y_lo they depend on
// r_y and the exponents p_y, s_y, e_y only, and these are mostly the same
// bits from one electron segment to the next (P + Q is alpha - 1 up to
// rounding, and N = x for most pairs), so most pairs reuse them. Reuse needs
// equal bits of all four, so the result is that of the full evaluation.
class YFactorMemo {
public:
    template <class Logs>
    const SscrYFactors& get(const SscrFactors& f, double r_y, double y_lo, Logs&& logs) {
        const Key key{std::bit_cast<std::uint64_t>(r_y), std::bit_cast<std::uint64_t>(f.p_y),
                      std::bit_cast<std::uint64_t>(f.s_y), std::bit_cast<std::uint64_t>(f.e_y)};
        for (int k = 0; k < used_; ++k) {
            if (entries_[k].key == key) return entries_[k].value;
        }
        Entry& e = entries_[next_];
        next_ = (next_ + 1) % kEntries;
        if (used_ < kEntries) ++used_;
        e.key = key;
        e.value = sscr_y_factors(f, logs(), r_y, y_lo);
        return e.value;
    }

private:
    struct Key {
        std::uint64_t r, p, s, e;
        bool operator==(const Key&) const = default;
    };
    struct Entry {
        Key key{};
        SscrYFactors value;
    };
    static constexpr int kEntries = 4;
    Entry entries_[kEntries];
    int used_ = 0;
    int next_ = 0;
};

double emissivity(double nu, double g_first, const std::vector<SeedSegment>& seeds,
                  const std::vector<std::vector<PairTerm>>& pairs) {
    double sum = 0.0;
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        // One frequency over thousands of seed segments takes tens of
        // milliseconds: a map asked to stop (Ctrl-C) gives it up between them.
        if (parallel::map_stopping()) throw Interrupted();
        const SeedSegment& s = seeds[i];
        if (s.status == Status::fail) fail_array_index();
        if (s.status == Status::skip) continue;
        const double x = nu / (s.nu_lo * 4.0);
        const double gamma_min = std::fmax(g_first, std::sqrt(x));
        if (!(gamma_min < s.gamma_max)) continue;
        const double w = nu / (s.nu_hi * 4.0);
        const double y_lo = std::fmax(w, 0.25);

        double G = 0.0;
        bool have_g = false;
        // Switched logarithms of x / y_lo, shared by all pairs with N = x.
        SwitchedLogs logs_x;
        bool have_logs_x = false;
        YFactorMemo first;
        YFactorMemo second;
        for (const PairTerm& t : pairs[i]) {
            if (!(gamma_min <= t.g_lo)) continue;
            if (t.fails) fail_array_index();
            const double N = std::fmin(x, t.m2);
            if (!(N > y_lo)) continue;
            const double r_y = N / y_lo;
            SwitchedLogs logs_n;
            bool have_logs_n = false;
            auto logs = [&]() -> const SwitchedLogs& {
                if (N == x) {
                    if (!have_logs_x) logs_x = switched_logs(r_y);
                    have_logs_x = true;
                    return logs_x;
                }
                if (!have_logs_n) logs_n = switched_logs(r_y);
                have_logs_n = true;
                return logs_n;
            };
            const double U = sscr_combine(t.first, first.get(t.first, r_y, y_lo, logs)) -
                             sscr_combine(t.second, second.get(t.second, r_y, y_lo, logs));
            if (!have_g) {
                G = std::pow(x, -s.alpha);
                have_g = true;
            }
            sum = sum + G * ((s.intensity * (t.weight * (t.n_lo * U))) * constants::sigma_t);
        }
    }
    return sum;
}

}  // namespace

std::vector<double> ic_iso_powlaw_full(const std::vector<double>& freqs, const std::vector<double>& inu,
                                       const std::vector<double>& g, const std::vector<double>& n) {
    if (freqs.size() < 2) return parallel::map_values<double>(freqs, [](double) { return 0.0; });

    const std::vector<SeedSegment> seeds = prepare_seeds(freqs, inu, g);
    const std::vector<ElectronSegment> electrons = prepare_electrons(g, n);
    // The pairs of each seed segment, prepared in parallel in spread order
    // (prepare_pairs cannot fail), then put back in seed order. A call with
    // few pairs (a few microseconds of work, about what handing a map to
    // the workers costs) prepares them on the calling thread.
    std::size_t used = 0;
    for (const SeedSegment& s : seeds) used += s.status == Status::use ? 1 : 0;
    const std::size_t serial_below = used * electrons.size() < kSerialPairs ? seeds.size() + 1 : 0;
    const std::vector<std::size_t> order = spread_order(seeds.size());
    std::vector<std::vector<PairTerm>> spread = parallel::map_indices_cheap<std::vector<PairTerm>>(
        seeds.size(), serial_below, [&](std::size_t k) { return prepare_pairs(seeds[order[k]], electrons); });
    std::vector<std::vector<PairTerm>> pairs(seeds.size());
    for (std::size_t k = 0; k < order.size(); ++k) pairs[order[k]] = std::move(spread[k]);
    const double g_first = g.empty() ? 0.0 : g.front();

    return parallel::map_values<double>(freqs,
                                        [&](double nu) { return emissivity(nu, g_first, seeds, pairs); });
}

}  // namespace ostrel::radiation

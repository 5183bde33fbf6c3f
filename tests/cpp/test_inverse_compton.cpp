// The inverse-Compton emissivities against straightforward reference
// implementations that evaluate the whole formula per output frequency,
// reading every input entry at the point where the formula reads it. The
// kernels form everything that does not depend on the frequency once,
// beforehand; results must be the same bits, and the kernels must fail on
// exactly the inputs on which the references fail.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "misc/failure.hpp"
#include "radiation/ic_iso_monochrome_full.hpp"
#include "radiation/ic_iso_powlaw_full.hpp"
#include "stderr_capture.hpp"

namespace {

using ostrel::at_array;
using Vec = std::vector<double>;

// ---- reference implementations -------------------------------------------

double ref_ratio(double r, double p, double s) {
    const double d = r - 1.0;
    const double d2 = d * d;
    const double d3 = d * d2;
    const double d4 = d2 * d2;
    const double L = std::log(r);
    const double lambda1 = (d2 * 0.5 > 1e-9) ? L : d;
    const double lambda2 = (d3 > 1e-9) ? L * L : d2;
    const double l3 = (d4 * 1.5 > 1e-9) ? L : d;
    if (p * p * (l3 * (l3 * l3)) > 6.000000000000001e-9) return (1.0 - std::pow(r, s)) / p;
    return lambda1 - p * (lambda2 * 0.5);
}

double ref_sscr(double x1, double x2, double y1, double y2, double a, double b) {
    const double m = ref_ratio(y2 / y1, -1.0 - ((a + b) + 1.0), ((a + b) + 1.0) + 1.0);
    const double w = ref_ratio(x2 / x1, -1.0 - a, a + 1.0);
    return w * (m * (std::pow(y1, (a + b) + 2.0) * std::pow(x1, a + 1.0)));
}

double ref_index(double v0, double v1, double x0, double x1) {
    double p = -std::log(v1 / v0) / std::log(x1 / x0);
    if (p < -8.0) p = -8.0;
    if (p > 8.0) p = 8.0;
    return p;
}

Vec ref_powlaw(const Vec& freqs, const Vec& inu, const Vec& g, const Vec& n) {
    Vec out(freqs.size(), 0.0);
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const double nu = freqs[k];
        if (freqs.size() == 1) continue;
        double sum = 0.0;
        for (std::size_t i = 0; i + 1 < freqs.size(); ++i) {
            const double ii = at_array(inu, i);
            if (!(ii > 1e-200)) continue;
            const double ii1 = at_array(inu, i + 1);
            if (!(ii1 > 1e-200)) continue;
            const double nui = freqs[i];
            const double nui1 = freqs[i + 1];
            const double alpha = ref_index(ii, ii1, nui, nui1);
            const double gkn = 2.0467764442059716e-07 / (nui1 * 6.62607015e-27);
            const double gmax = std::fmin(at_array(g, g.size() - 1), gkn);
            const double x = nu / (nui * 4.0);
            const double gmin = std::fmax(at_array(g, 0), std::sqrt(x));
            if (!(gmin < gmax)) continue;
            const double w = nu / (nui1 * 4.0);
            const double ylo = std::fmax(w, 0.25);
            const double G = std::pow(x, -alpha);
            const double a2 = alpha + alpha;
            for (std::size_t j = 0; j + 1 < g.size(); ++j) {
                if (!(gmin <= g[j] && g[j] <= gmax)) continue;
                const double nj = at_array(n, j);
                if (!(nj > 1e-200)) continue;
                const double nj1 = at_array(n, j + 1);
                if (!(nj1 > 1e-200)) continue;
                const double m = std::fmin(g[j + 1], gkn);
                const double M = m * m;
                const double N = std::fmin(x, M);
                if (!(N > ylo)) continue;
                const double p = ref_index(nj, nj1, g[j], g[j + 1]);
                const double P = (p - 1.0) * 0.5;
                const double Q = ((a2 - p) - 1.0) * 0.5;
                const double S = g[j] * g[j];
                const double U = ref_sscr(1.0 / M, 1.0 / S, ylo, N, P, Q) -
                                 ref_sscr(1.0 / M, 1.0 / S, ylo, N, P + 1.0, Q);
                sum = sum + G * (((ii * (std::pow(g[j], p) * (nj * U))) * 6.6524587321000005e-25));
            }
        }
        out[k] = sum;
    }
    return out;
}

Vec ref_monochrome(const Vec& freqs, double uext, double nuext, const Vec& n, const Vec& g) {
    Vec out(freqs.size(), 0.0);
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const double x = freqs[k] / (nuext * 4.0);
        const double gkn = 2.0467764442059716e-07 / (nuext * 6.62607015e-27);
        double sum = 0.0;
        // An empty grid reads g[1] in its first segment.
        const std::size_t segments = g.empty() ? 1 : g.size() - 1;
        for (std::size_t i = 0; i < segments; ++i) {
            const double ghi = std::fmin(at_array(g, i + 1), gkn);
            const double ni = at_array(n, i);
            if (!(ni > 1e-200)) continue;
            const double ni1 = at_array(n, i + 1);
            if (!(ni1 > 1e-200)) continue;
            const double gi = g[i];
            const double p = ref_index(ni, ni1, gi, g[i + 1]);
            const double q1 = (p - 1.0) * 0.5;
            const double q2 = (p + 1.0) * 0.5;
            double F = 0.0;
            std::optional<double> rho;
            if (gi <= ghi && x >= 0.25 && x <= gi * gi) {
                rho = (ghi / gi) * (ghi / gi);
            } else if (gi * gi < x && x <= ghi * ghi) {
                rho = (ghi * ghi) / x;
            }
            if (rho) {
                const double t = x / (ghi * ghi);
                F = std::pow(t, q2) *
                    (ref_ratio(*rho, -1.0 - q1, q1 + 1.0) - t * ref_ratio(*rho, -1.0 - q2, q2 + 1.0));
            }
            sum = sum + std::pow(x, -q1) * (std::pow(gi, p) * (ni * F));
        }
        out[k] = (uext * ((sum * 29979245800.0) * 6.6524587321000005e-25)) / nuext;
    }
    return out;
}

// ---- comparison -------------------------------------------------------------

struct Outcome {
    bool failed = false;
    std::string message;
    Vec values;
};

// Runs f with standard error captured. A failure writes a diagnostic block
// from `file` for each piece of the map that failed (at least one, one of
// them carrying the message that arrives); a run that succeeds writes none.
template <class F>
Outcome run(F&& f, const std::string& file) {
    Outcome o;
    ostrel_test::StderrCapture capture;
    try {
        o.values = f();
    } catch (const ostrel::Failure& failure) {
        o.failed = true;
        o.message = failure.message();
    }
    const ostrel_test::CapturedStderr err = capture.finish();
    EXPECT_TRUE(err.other_lines.empty()) << err.text;
    EXPECT_EQ(err.blocks_from(file), err.blocks.size()) << err.text;
    if (o.failed) {
        bool carried = false;
        for (const auto& block : err.blocks) carried = carried || block.message == o.message;
        EXPECT_TRUE(carried) << o.message << " not in\n" << err.text;
    } else {
        EXPECT_TRUE(err.blocks.empty()) << err.text;
    }
    return o;
}

const std::string kReferenceFile = "tests/cpp/test_inverse_compton.cpp";

void expect_same(const Outcome& got, const Outcome& want, int trial) {
    ASSERT_EQ(got.failed, want.failed) << "trial " << trial;
    EXPECT_EQ(got.message, want.message) << "trial " << trial;
    ASSERT_EQ(got.values.size(), want.values.size()) << "trial " << trial;
    for (std::size_t k = 0; k < got.values.size(); ++k) {
        // Which of two NaN operands an addition passes on (and so the NaN's
        // sign) is up to the compiler's operand order; NaNs match as NaNs.
        if (std::isnan(got.values[k]) && std::isnan(want.values[k])) continue;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got.values[k]), std::bit_cast<std::uint64_t>(want.values[k]))
            << "trial " << trial << " k " << k << ": " << got.values[k] << " vs " << want.values[k];
    }
}

// ---- random inputs ------------------------------------------------------------

class Inputs {
public:
    explicit Inputs(std::uint64_t seed) : rng_(seed) {}

    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(double p) { return uniform(0.0, 1.0) < p; }

    // A mostly increasing grid from 10^lo with random log steps; now and then
    // a repeated point, a step back, or a non-positive or NaN value.
    Vec grid(std::size_t size, double lo, double max_step, double oddity) {
        Vec v;
        double e = lo;
        for (std::size_t i = 0; i < size; ++i) {
            double value = std::pow(10.0, e);
            if (chance(oddity)) value = odd_value(v.empty() ? value : v.back());
            v.push_back(value);
            e += uniform(0.02, max_step);
        }
        return v;
    }

    // Tabulated values: a smooth random power-law walk, with zeros, tiny,
    // negative and non-finite entries mixed in, and steep steps beyond the
    // index clamp.
    Vec values(std::size_t size, double start, double oddity) {
        Vec v;
        double e = start;
        for (std::size_t i = 0; i < size; ++i) {
            double value = std::pow(10.0, e);
            if (chance(oddity)) value = odd_value(value);
            v.push_back(value);
            e += chance(0.05) ? uniform(-60.0, 60.0) : uniform(-3.0, 1.5);
        }
        return v;
    }

    // Cut short (so reads past the end happen) or extend.
    Vec resize(Vec v) {
        if (chance(0.2) && !v.empty()) v.resize(pick(v.size()));
        if (chance(0.1)) v.push_back(1.0);
        return v;
    }

private:
    double odd_value(double near) {
        switch (pick(8)) {
            case 0: return 0.0;
            case 1: return -near;
            case 2: return 1e-250;
            case 3: return std::numeric_limits<double>::quiet_NaN();
            case 4: return std::numeric_limits<double>::infinity();
            case 5: return near;  // repeated value
            case 6: return near * 0.3;  // a step back
            default: return near * 1e-120;
        }
    }
    std::mt19937_64 rng_;
};

TEST(InverseComptonReference, PowerLawSeedMatchesBitForBit) {
    int failures = 0;
    int nonzero = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        Inputs in(1000 + trial);
        const std::size_t nf = std::vector<std::size_t>{0, 1, 2, 3, 6, 14, 30}[in.pick(7)];
        const std::size_t ng = std::vector<std::size_t>{0, 1, 2, 4, 9, 25}[in.pick(6)];
        const double oddity = in.chance(0.5) ? 0.0 : 0.08;
        const Vec freqs = in.grid(nf, in.uniform(6.0, 14.0), 1.5, oddity);
        const Vec inu = in.resize(in.values(nf, in.uniform(-20.0, -5.0), oddity));
        const Vec g = in.grid(ng, in.uniform(0.0, 2.0), 0.8, oddity);
        const Vec n = in.resize(in.values(ng, 0.0, oddity));
        const Outcome want = run([&] { return ref_powlaw(freqs, inu, g, n); }, kReferenceFile);
        const Outcome got = run([&] { return ostrel::radiation::ic_iso_powlaw_full(freqs, inu, g, n); },
                                "src/radiation/ic_iso_powlaw_full.cpp");
        expect_same(got, want, trial);
        failures += want.failed;
        for (double v : want.values) nonzero += (v != 0.0);
    }
    // The trials cover both failing inputs and nonzero emissivities.
    EXPECT_GT(failures, 50);
    EXPECT_GT(nonzero, 500);
}

// The pairs of the seed segments are prepared out of grid order and put
// back: every count of seed segments, across powers of two, gives the
// reference bits.
TEST(InverseComptonReference, PowerLawSeedEverySegmentCount) {
    Vec g;
    Vec n;
    for (int j = 0; j < 12; ++j) {
        g.push_back(std::pow(10.0, 0.5 * j));
        n.push_back(std::pow(10.0, -1.2 * j));
    }
    for (std::size_t nf = 2; nf <= 70; ++nf) {
        Vec freqs;
        Vec inu;
        for (std::size_t k = 0; k < nf; ++k) {
            freqs.push_back(std::pow(10.0, 7.0 + 0.3 * static_cast<double>(k)));
            inu.push_back(std::pow(10.0, -12.0 - 0.2 * static_cast<double>(k)));
        }
        const Outcome want = run([&] { return ref_powlaw(freqs, inu, g, n); }, kReferenceFile);
        const Outcome got = run([&] { return ostrel::radiation::ic_iso_powlaw_full(freqs, inu, g, n); },
                                "src/radiation/ic_iso_powlaw_full.cpp");
        expect_same(got, want, static_cast<int>(nf));
        double sum = 0.0;
        for (double v : want.values) sum += v;
        EXPECT_GT(sum, 0.0) << nf;
    }
}

// A grid that steps back makes fmin(g_(j+1), gamma_KN)^2 fall below x, so
// pairs with N = M follow pairs with N = x at the same frequency.
TEST(InverseComptonReference, ElectronGridSteppingBack) {
    Vec freqs;
    Vec inu;
    for (int k = 0; k < 25; ++k) {
        freqs.push_back(std::pow(10.0, 8.0 + 0.25 * k));
        inu.push_back(1e-12 * std::pow(10.0, -0.3 * k));
    }
    const Vec g{1.0, 30.0, 100.0, 10.0, 1000.0, 3000.0};
    const Vec n{1.0, 1e-3, 1e-5, 1e-2, 1e-8, 1e-10};
    const Outcome want = run([&] { return ref_powlaw(freqs, inu, g, n); }, kReferenceFile);
    const Outcome got = run([&] { return ostrel::radiation::ic_iso_powlaw_full(freqs, inu, g, n); },
                                "src/radiation/ic_iso_powlaw_full.cpp");
    expect_same(got, want, -1);
}

TEST(InverseComptonReference, MonochromaticSeedMatchesBitForBit) {
    int failures = 0;
    int nonzero = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        Inputs in(90000 + trial);
        const std::size_t nf = std::vector<std::size_t>{0, 1, 2, 7, 40}[in.pick(5)];
        const std::size_t ng = std::vector<std::size_t>{0, 1, 2, 4, 9, 25}[in.pick(6)];
        const double oddity = in.chance(0.5) ? 0.0 : 0.08;
        const Vec freqs = in.grid(nf, in.uniform(6.0, 12.0), 1.0, oddity);
        const double nuext = std::pow(10.0, in.uniform(5.0, 16.0));
        const double uext = in.chance(0.05) ? 0.0 : std::pow(10.0, in.uniform(-12.0, 2.0));
        const Vec g = in.grid(ng, in.uniform(0.0, 2.0), 0.8, oddity);
        const Vec n = in.resize(in.values(ng, 0.0, oddity));
        const Outcome want = run([&] { return ref_monochrome(freqs, uext, nuext, n, g); }, kReferenceFile);
        const Outcome got =
            run([&] { return ostrel::radiation::ic_iso_monochrome_full(freqs, uext, nuext, n, g); },
                "src/radiation/ic_iso_monochrome_full.cpp");
        expect_same(got, want, trial);
        failures += want.failed;
        for (double v : want.values) nonzero += (v != 0.0);
    }
    EXPECT_GT(failures, 50);
    EXPECT_GT(nonzero, 500);
}

}  // namespace

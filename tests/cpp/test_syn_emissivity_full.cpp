// Synchrotron emissivity and absorption: convergence levels, the work bound
// of integrals that never converge, and bit-for-bit agreement of the
// tabulated evaluation with a straightforward one.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "misc/failure.hpp"
#include "stderr_capture.hpp"
#include "misc/polint.hpp"
#include "radiation/rma_new.hpp"
#include "radiation/syn_emissivity_full.hpp"

namespace {

namespace syn = ostrel::radiation::syn;
using ostrel::radiation::rma_new;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    std::uint64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    return x == y;
}

// ---------------------------------------------------------------------------
// The straightforward evaluation, written from the definition: every node
// evaluated afresh (g = exp(u), the powers, rma_new), one pass for emission
// and one for absorption, levels up to the documented last level.

struct RefIntegral {
    double value;
    double error;
    int level;
    bool converged;
};

template <class F>
RefIntegral ref_romberg(double f_lower, double f_upper, F&& f, double u_a, double u_b, int first_test) {
    const double h = u_b - u_a;
    double s[61] = {};
    double z[61] = {};
    z[0] = 1.0;
    double ss = 0.0, dss = 0.0;
    s[0] = (h * 0.5) * (f_upper + f_lower);
    z[1] = 0.25 * z[0];
    s[1] = s[0];
    for (int j = 1; j <= 59; ++j) {
        if (j > syn::kLastLevel) return {ss, dss, syn::kLastLevel, false};
        const double m = std::ldexp(1.0, j - 1);
        const double delta = h / m;
        double u = u_a + delta * 0.5;
        double sum = 0.0;
        for (double k = 0; k < m; k += 1.0) {
            sum = sum + f(u);
            u = u + delta;
        }
        s[j] = (s[j] + delta * sum) * 0.5;
        if (j >= first_test) {
            const auto r = ostrel::misc::polint(std::span<const double>(z + j - 9, 10),
                                                std::span<const double>(s + j - 9, 10), 0.0)
                               .unwrap();
            ss = r.y;
            dss = r.dy;
            if (std::fabs(dss) <= 1e-5 * std::fabs(ss)) return {ss, dss, j, true};
        }
        if (j <= 58) {
            z[j + 1] = 0.25 * z[j];
            s[j + 1] = s[j];
        }
    }
    return {ss, dss, 59, false};
}

struct RefPoint {
    double j_nu, a_nu;
    std::vector<RefIntegral> emission, absorption;
};

RefPoint ref_point(double nu, const std::vector<double>& g, const std::vector<double>& n, double b,
                   bool with_abs) {
    RefPoint out{};
    const double nu_b = b * 2799248.987233304;
    const double chi = nu / nu_b;
    const double k_j = nu_b * 6.6645698196351e-30;
    const auto segment = [&](std::size_t i, double& q, double& u_a, double& u_b) {
        const double n0 = ostrel::at_array(n, i);
        if (!(n0 > 1e-100)) return false;
        const double n1 = ostrel::at_array(n, i + 1);
        if (!(n1 > 1e-100)) return false;
        q = -std::log(n1 / n0) / std::log(g[i + 1] / g[i]);
        if (q > 8.0) q = 8.0;
        if (q < -8.0) q = -8.0;
        u_a = std::log(g[i]);
        u_b = std::log(g[i + 1]);
        return true;
    };
    double e = 0.0;
    for (std::size_t i = 0; i + 1 < g.size(); ++i) {
        double q, u_a, u_b;
        if (!segment(i, q, u_a, u_b)) continue;
        const auto f = [&](double gamma) { return std::pow(gamma, 1.0 - q) * rma_new(chi, gamma); };
        const RefIntegral r = ref_romberg(f(std::exp(u_a)), f(std::exp(u_b)),
                                          [&](double u) { return f(std::exp(u)); }, u_a, u_b, 9);
        e = e + std::pow(g[i], q) * ((k_j * n[i]) * r.value);
        out.emission.push_back(r);
    }
    double a = 0.0;
    if (with_abs) {
        const double k_a = nu_b * 0.0036580794255805012;
        const double nu2 = nu * nu;
        for (std::size_t i = 0; i + 1 < g.size(); ++i) {
            double q, u_a, u_b;
            if (!segment(i, q, u_a, u_b)) continue;
            const auto f = [&](double gamma) {
                const double g2 = gamma * gamma;
                return ((q + 1.0) + g2 / (g2 + (-1.0))) * (std::pow(gamma, -q) * rma_new(chi, gamma));
            };
            const double ga = std::exp(u_a);
            const double lower = ga - 1.0 <= 1e-10 ? 1.0000000001 : ga;
            const RefIntegral r = ref_romberg(f(lower), f(std::exp(u_b)),
                                              [&](double u) { return f(std::exp(u)); }, u_a, u_b, 10);
            a = a + (std::pow(g[i], q) * ((k_a * n[i]) * r.value)) / nu2;
            out.absorption.push_back(r);
        }
    }
    if (e < 1e-200) e = 0.0;
    if (a < 1e-200) a = 0.0;
    out.j_nu = e;
    out.a_nu = a;
    return out;
}

struct Case {
    std::vector<double> g, n;
    double b;
    std::vector<double> freqs;
};

// Compares every frequency of a case with the straightforward evaluation,
// for the tables chosen by the call and for shallower ones (depth 0: no
// tables at all).
void expect_same_as_reference(const Case& c, const char* what) {
    for (bool with_abs : {false, true}) {
        std::vector<RefPoint> ref;
        for (double nu : c.freqs) ref.push_back(ref_point(nu, c.g, c.n, c.b, with_abs));
        for (int depth : {-1, 0, 4, 9}) {
            const syn::Setup setup = syn::prepare(c.g, c.n, c.b, with_abs, depth);
            for (std::size_t k = 0; k < c.freqs.size(); ++k) {
                syn::Trace trace;
                const auto [e, a] = syn::evaluate(setup, c.freqs[k], &trace);
                const RefPoint& r = ref[k];
                SCOPED_TRACE(::testing::Message() << what << " nu=" << c.freqs[k] << " with_abs=" << with_abs
                                                  << " depth=" << depth);
                ASSERT_TRUE(same_bits(e, r.j_nu)) << e << " vs " << r.j_nu;
                ASSERT_TRUE(same_bits(a, r.a_nu)) << a << " vs " << r.a_nu;
                ASSERT_EQ(trace.emission.size(), r.emission.size());
                ASSERT_EQ(trace.absorption.size(), r.absorption.size());
                const auto same = [](const syn::Integral& x, const RefIntegral& y) {
                    // A vanishing integrand is not evaluated: its integral is
                    // +0 where the sign of the zero depends on the direction
                    // of integration; either adds nothing to the sums. A
                    // non-finite trapezoid estimate ends the integration early.
                    const bool zeros = x.value == 0.0 && y.value == 0.0;
                    return (zeros || same_bits(x.value, y.value)) && x.converged == y.converged &&
                           (!x.converged || (x.level == y.level && same_bits(x.error, y.error)));
                };
                for (std::size_t i = 0; i < r.emission.size(); ++i) {
                    ASSERT_TRUE(same(trace.emission[i], r.emission[i])) << "emission segment " << i;
                }
                for (std::size_t i = 0; i < r.absorption.size(); ++i) {
                    ASSERT_TRUE(same(trace.absorption[i], r.absorption[i])) << "absorption segment " << i;
                }
            }
        }
    }
}

std::vector<double> log_grid(double lo, double hi, int n) {
    std::vector<double> out;
    for (int i = 0; i < n; ++i) out.push_back(lo * std::pow(hi / lo, static_cast<double>(i) / (n - 1)));
    return out;
}

TEST(SynEmissivity, WorkedExampleConvergesAtTheFirstTests) {
    const syn::Setup setup = syn::prepare({1.0, 10.0}, {1.0, 0.01}, 1.0, true);
    syn::Trace trace;
    const auto [e, a] = syn::evaluate(setup, 1e9, &trace);
    ASSERT_EQ(trace.emission.size(), 1u);
    ASSERT_EQ(trace.absorption.size(), 1u);
    EXPECT_TRUE(trace.emission[0].converged);
    EXPECT_EQ(trace.emission[0].level, 9);
    EXPECT_TRUE(trace.absorption[0].converged);
    EXPECT_EQ(trace.absorption[0].level, 10);
    EXPECT_GT(e, 0.0);
    EXPECT_GT(a, 0.0);
    expect_same_as_reference({{1.0, 10.0}, {1.0, 0.01}, 1.0, {1e9}}, "worked example");
}

TEST(SynEmissivity, TabulatedEvaluationIsBitIdenticalToTheStraightforwardOne) {
    // A power law over many decades: cut-off, all four kernel pieces and the
    // underflow of exp(-x) all occur across the frequencies.
    {
        const std::vector<double> g = log_grid(10.0, 1e6, 24);
        std::vector<double> n;
        for (double x : g) n.push_back(std::pow(x, -2.5));
        expect_same_as_reference({g, n, 0.1, log_grid(1e4, 1e21, 29)}, "power law");
    }
    // Random grids starting at or below 1 + 1e-10 (guarded lower end),
    // negligible and steep bins (skips, both clamps), random fields.
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 12; ++trial) {
        Case c;
        const int ng = 2 + static_cast<int>(rng() % 6);
        double lg = trial % 3 == 0 ? 0.0 : trial % 3 == 1 ? -0.3 : 2.0 * unit(rng);
        for (int i = 0; i < ng; ++i) {
            c.g.push_back(std::pow(10.0, lg));
            const double v = unit(rng);
            c.n.push_back(v < 0.15 ? 1e-101 : std::pow(10.0, -30.0 * unit(rng)));
            lg += 0.05 + 2.0 * unit(rng);
        }
        if (trial % 3 == 0) c.g[0] = 1.0;
        c.b = std::pow(10.0, -3.0 + 4.0 * unit(rng));
        for (int k = 0; k < 6; ++k) c.freqs.push_back(std::pow(10.0, 5.0 + 17.0 * unit(rng)));
        expect_same_as_reference(c, "random grid");
    }
    // An unsorted grid integrates its falling segments downwards.
    expect_same_as_reference({{10.0, 3.0, 50.0, 1.5}, {1e-2, 1.0, 1e-4, 2.0}, 0.7, {3e6, 4e8, 1e10}},
                             "unsorted grid");
}

TEST(SynEmissivity, GuardedLowerEndIsEvaluatedOnItsOwn) {
    // Near g = 1 the kernel is nonzero only for chi of order 1 to 1000; there
    // the absorption lower end 1.0000000001 differs from the emission's ga.
    const double nu_b = 2799248.987233304;
    std::vector<double> freqs;
    for (double chi : {0.9, 2.0, 20.0, 200.0}) freqs.push_back(chi * nu_b);
    for (double g0 : {1.0, 1.00000000005, 0.5}) {
        expect_same_as_reference({{g0, 1.7, 3.0}, {1.0, 0.5, 0.1}, 1.0, freqs}, "guarded");
    }
}

TEST(SynEmissivity, SkippedSegmentsAreExactAtTheirBoundaries) {
    // Frequencies within a few ulps of the cut-off of the highest node, and
    // of the underflow of exp(-x) there, where whole segments vanish.
    const std::vector<double> g{1.5, 3.0, 40.0};
    const std::vector<double> n{1.0, 0.3, 1e-3};
    const double b = 2.0;
    const double nu_b = b * 2799248.987233304;
    std::vector<double> freqs;
    for (double top : {3.0, 40.0}) {
        const double g_top = std::exp(std::log(top));
        for (double target : {0.75 / g_top, 746.0 * (g_top * g_top * 3.0) / 2.0}) {
            double nu = target * nu_b;
            for (int k = 0; k < 4; ++k) nu = std::nextafter(nu, 0.0);
            for (int k = 0; k < 9; ++k) {
                freqs.push_back(nu);
                nu = std::nextafter(nu, kInf);
            }
        }
    }
    expect_same_as_reference({g, n, b, freqs}, "boundaries");
}

TEST(SynEmissivity, NonFiniteIntegrandsEndEarlyWithTheFullResult) {
    // A zero Lorentz factor: every estimate is NaN; the straightforward
    // evaluation runs all levels and ends with the same NaN.
    expect_same_as_reference({{0.0, 10.0}, {1.0, 0.01}, 1.0, {1e9}}, "zero Lorentz factor");
    const syn::Setup setup = syn::prepare({0.0, 10.0}, {1.0, 0.01}, 1.0, true);
    syn::Trace trace;
    const auto [e, a] = syn::evaluate(setup, 1e9, &trace);
    EXPECT_TRUE(std::isnan(e));
    EXPECT_TRUE(std::isnan(a));
    EXPECT_EQ(trace.emission[0].level, 0);
    EXPECT_FALSE(trace.emission[0].converged);
}

TEST(SynEmissivity, MissingEntriesFailWhenReached) {
    const auto message = [](const std::vector<double>& g, const std::vector<double>& n) {
        const syn::Setup setup = syn::prepare(g, n, 1.0, true);
        return ostrel_test::single_failure_message<ostrel::Failure>(
            [&] { syn::evaluate(setup, 1e9); }, "src/radiation/syn_emissivity_full.cpp");
    };
    EXPECT_EQ(message({}, {1.0}), ostrel::kArrayIndexMessage);
    EXPECT_EQ(message({1.0, 2.0, 3.0}, {1.0, 1.0}), ostrel::kArrayIndexMessage);
    // n_1 is not read when n_0 is negligible, nor n_2 when n_1 is.
    EXPECT_EQ(message({1.0, 2.0}, {0.0}), "<no failure>");
    EXPECT_EQ(message({1.0, 2.0, 3.0}, {1.0, 1e-101}), "<no failure>");
}

// ---------------------------------------------------------------------------
// Segments processed in blocks: the same results, reports and failures as one
// pass over the whole grid.

struct BlockRun {
    std::vector<double> j_nu, a_nu;
    std::string out, err, failure;
};

// One frequency per call, so that the reports come out in a fixed order (a
// map of one point runs on the calling thread).
BlockRun run_blocks(const Case& c, bool with_abs, std::size_t block_segments) {
    BlockRun run;
    for (double nu : c.freqs) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        try {
            const auto [j, a] = syn::evaluate_in_blocks({nu}, c.g, c.n, c.b, with_abs, block_segments);
            run.j_nu.push_back(j.at(0));
            run.a_nu.push_back(a.at(0));
        } catch (const ostrel::Failure& failure) {
            run.failure += failure.message() + ";";
        }
        run.out += testing::internal::GetCapturedStdout();
        run.err += testing::internal::GetCapturedStderr();
    }
    return run;
}

void expect_same_bits(const std::vector<double>& x, const std::vector<double>& y) {
    ASSERT_EQ(x.size(), y.size());
    for (std::size_t k = 0; k < x.size(); ++k) EXPECT_TRUE(same_bits(x[k], y[k])) << k << ": " << x[k] << " vs " << y[k];
}

TEST(SynEmissivity, BlocksOfSegmentsGiveTheResultsOfOnePass) {
    // Negligible bins (skipped segments), a negative Lorentz factor (an
    // integral that never converges, with its reports), and a short
    // distribution (a failing read after all other segments) in turn.
    std::vector<double> g = log_grid(1.0, 1e5, 14);
    std::vector<double> n;
    for (double x : g) n.push_back(std::pow(x, -2.2));
    n[4] = 1e-120;
    std::vector<Case> cases{{g, n, 0.3, log_grid(1e5, 1e18, 5)}};
    std::vector<double> g_negative = g;
    g_negative[7] = -3.0;
    cases.push_back({g_negative, n, 0.3, log_grid(1e7, 1e12, 3)});
    std::vector<double> n_short(n.begin(), n.end() - 2);
    cases.push_back({g_negative, n_short, 0.3, log_grid(1e7, 1e12, 2)});
    for (std::size_t which = 0; which < cases.size(); ++which) {
        const Case& c = cases[which];
        for (bool with_abs : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "case " << which << " with_abs=" << with_abs);
            // One pass over a setup of the whole grid.
            BlockRun whole;
            const syn::Setup setup = syn::prepare(c.g, c.n, c.b, with_abs, 10);
            for (double nu : c.freqs) {
                testing::internal::CaptureStdout();
                testing::internal::CaptureStderr();
                try {
                    const auto [e, a] = syn::evaluate(setup, nu);
                    whole.j_nu.push_back(e);
                    whole.a_nu.push_back(with_abs ? a : 0.0);
                } catch (const ostrel::Failure& failure) {
                    whole.failure += failure.message() + ";";
                }
                whole.out += testing::internal::GetCapturedStdout();
                whole.err += testing::internal::GetCapturedStderr();
            }
            for (std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{0}}) {
                SCOPED_TRACE(::testing::Message() << "blocks of " << block);
                const BlockRun run = run_blocks(c, with_abs, block);
                expect_same_bits(run.j_nu, whole.j_nu);
                expect_same_bits(run.a_nu, whole.a_nu);
                EXPECT_EQ(run.failure, whole.failure);
                EXPECT_EQ(run.out, whole.out);
                // The hint line follows only the first failure of the process.
                const auto without_hint = [](std::string text) {
                    const auto note = text.find("note: ");
                    if (note != std::string::npos) text.erase(note, text.find('\n', note) + 1 - note);
                    return text;
                };
                EXPECT_EQ(without_hint(run.err), without_hint(whole.err));
            }
            if (which == 1) {
                EXPECT_NE(whole.out.find("RMA_qromb error"), std::string::npos);
            }
            if (which == 2) {
                EXPECT_EQ(whole.failure,
                          std::string(ostrel::kArrayIndexMessage) + ";" + ostrel::kArrayIndexMessage + ";");
            }
        }
    }
}

TEST(SynEmissivity, GridsBeyondTheTableBudgetKeepTheirBits) {
    // 1228 used segments do not fit the 48 MiB of tables of 10 levels at
    // once (1227 do): the call processes them in two blocks, where a single
    // setup has to use shallower tables. All three agree bit for bit.
    const std::vector<double> g = log_grid(1.0, 1e7, 1229);
    std::vector<double> n;
    for (double x : g) n.push_back(std::pow(x, -2.5) * std::exp(-x / 3e6));
    const std::vector<double> freqs{1e6, 3e9, 1e14, 1e19};
    const double b = 0.2;
    const syn::Setup shallow = syn::prepare(g, n, b, true);
    EXPECT_LT(shallow.table_depth, 10);
    const auto [j, a] = syn::evaluate_in_blocks(freqs, g, n, b, true, 0);
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const auto [e_ref, a_ref] = syn::evaluate(shallow, freqs[k]);
        EXPECT_TRUE(same_bits(j[k], e_ref)) << freqs[k];
        EXPECT_TRUE(same_bits(a[k], a_ref)) << freqs[k];
        EXPECT_GT(j[k], 0.0);
    }
}

// ---------------------------------------------------------------------------
// The Romberg integration and its work bound, on plain integrands.

double constant_with_inf_at(double u, double at) { return u == at ? kInf : 1.0; }
double everywhere_nan(double, double) { return kNaN; }
// On [0, 1] the new nodes of level j are the odd multiples of 2^-j, exact in
// double. With the value 1 at the ends and (2 - 2^20) 2^(-20 j) at level j the
// trapezoid estimates are exactly S_j = 2^(-20 j) = z_j^10: a polynomial of
// degree 10 in the step factor z_j = 4^-j, which the 10-point extrapolation
// never reproduces; it misses by about its own correction at every level.
double never_converging(double u, double) {
    const std::uint64_t t = static_cast<std::uint64_t>(std::ldexp(u, 40));
    if (t == 0 || t == (std::uint64_t{1} << 40)) return 1.0;
    const int level = 40 - std::countr_zero(t);
    return std::ldexp(2.0 - 0x1p20, -20 * level);
}

TEST(SynRomberg, SmoothIntegrandsConvergeAtTheFirstTest) {
    const auto quadratic = [](double u, double) { return u * u; };
    for (int first : {9, 10}) {
        const syn::Integral r = syn::romberg_integral(quadratic, 0.0, 0.0, 3.0, first);
        EXPECT_TRUE(r.converged);
        EXPECT_EQ(r.level, first);
        EXPECT_NEAR(r.value, 9.0, 1e-12);
    }
}

TEST(SynRomberg, NanEndsAtLevelZero) {
    const syn::Integral r = syn::romberg_integral(everywhere_nan, 0.0, 0.0, 1.0, 9);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.level, 0);
    EXPECT_TRUE(std::isnan(r.value));
    EXPECT_TRUE(std::isnan(r.error));
    const RefIntegral ref = ref_romberg(kNaN, kNaN, [](double) { return kNaN; }, 0.0, 1.0, 9);
    EXPECT_TRUE(std::isnan(ref.value) && std::isnan(ref.error) && !ref.converged);
}

TEST(SynRomberg, InfiniteNodeBeforeTheFirstTestNeverConverges) {
    // u = 1/4 is the first node of level 2: the estimates are infinite from
    // there on, and the full sequence of levels ends with NaN.
    const syn::Integral r = syn::romberg_integral(constant_with_inf_at, 0.25, 0.0, 1.0, 9);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.level, 2);
    EXPECT_TRUE(std::isnan(r.value));
    const RefIntegral ref = ref_romberg(1.0, 1.0, [](double u) { return constant_with_inf_at(u, 0.25); },
                                        0.0, 1.0, 9);
    EXPECT_FALSE(ref.converged);
    EXPECT_TRUE(std::isnan(ref.value));
    EXPECT_TRUE(std::isnan(ref.error));
}

TEST(SynRomberg, InfiniteEstimateAtATestLevelPassesTheTest) {
    // u = 1/512 first appears at level 9: only the last of the ten estimates
    // is infinite, the extrapolation and its correction are +inf, and
    // |inf| <= 1e-5 |inf| holds.
    const syn::Integral r = syn::romberg_integral(constant_with_inf_at, 1.0 / 512.0, 0.0, 1.0, 9);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.level, 9);
    EXPECT_EQ(r.value, kInf);
    const RefIntegral ref = ref_romberg(
        1.0, 1.0, [](double u) { return constant_with_inf_at(u, 1.0 / 512.0); }, 0.0, 1.0, 9);
    EXPECT_TRUE(ref.converged);
    EXPECT_EQ(ref.level, 9);
    EXPECT_EQ(ref.value, kInf);
}

TEST(SynRomberg, FiniteIntegrandThatNeverConvergesStopsAtTheLastLevel) {
    const syn::Integral r = syn::romberg_integral(never_converging, 0.0, 0.0, 1.0, 10);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.level, syn::kLastLevel);
    EXPECT_TRUE(std::isfinite(r.value));
    EXPECT_GT(std::fabs(r.error), 1e-5 * std::fabs(r.value));
    const RefIntegral ref = ref_romberg(1.0, 1.0, [](double u) { return never_converging(u, 0.0); }, 0.0,
                                        1.0, 10);
    EXPECT_TRUE(same_bits(r.value, ref.value));
    EXPECT_TRUE(same_bits(r.error, ref.error));
    EXPECT_EQ(ref.level, syn::kLastLevel);
}

}  // namespace

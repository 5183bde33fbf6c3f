// The Romberg driver: what each scheme parameter does (extrapolation order,
// first test, last level, tolerance, early stop on non-finite estimates),
// checked on integrands with known trapezoid sums and closed-form integrals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "misc/failure.hpp"
#include "misc/romberg.hpp"
#include "stderr_capture.hpp"

namespace {

using ostrel::misc::RombergEstimate;
using ostrel::misc::RombergScheme;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// f over [0, 1] through the driver; nodes formed from their index, and the
// number of evaluations counted (ends included).
template <class F>
RombergEstimate integrate(const RombergScheme& scheme, F&& f, long* evaluations = nullptr) {
    long count = 2;
    const auto r = ostrel::misc::romberg(scheme, 1.0, f(0.0) + f(1.0), [&](int level, double delta) {
        const long nodes = 1L << (level - 1);
        double sum = 0.0;
        for (long k = 0; k < nodes; ++k) sum = sum + f(delta * (static_cast<double>(k) + 0.5));
        count += nodes;
        return sum;
    });
    if (evaluations != nullptr) *evaluations = count;
    return r.unwrap();
}

// Extrapolating n trapezoid estimates removes the error terms in h^2 ... h^(2n-2):
// the result is exact for polynomials of degree up to 2n - 1 and no further.
TEST(Romberg, OrderSetsTheDegreeIntegratedExactly) {
    for (int order : {1, 2, 3, 4}) {
        // A tolerance no estimate can miss: the first test ends the integration.
        const RombergScheme scheme{order, order - 1, 10, 1e300, false};
        const int exact_degree = 2 * order - 1;
        const auto monomial = [](int degree) { return [degree](double x) { return std::pow(x, degree); }; };
        long evaluations = 0;
        const RombergEstimate exact = integrate(scheme, monomial(exact_degree), &evaluations);
        EXPECT_TRUE(exact.converged);
        EXPECT_EQ(exact.level, order - 1);
        EXPECT_EQ(evaluations, (1L << (order - 1)) + 1);
        EXPECT_NEAR(exact.value, 1.0 / (exact_degree + 1), 1e-15) << order;
        const RombergEstimate beyond = integrate(scheme, monomial(exact_degree + 1));
        EXPECT_GT(std::fabs(beyond.value - 1.0 / (exact_degree + 2)), 1e-6) << order;
    }
}

TEST(Romberg, FirstTestAndTolerance) {
    // exp on [0, 1]: converges at the first test when the tolerance allows it,
    // later (and more accurately) when it is tight.
    const auto f = [](double x) { return std::exp(x); };
    const RombergEstimate loose = integrate({5, 6, 20, 1e-3, false}, f);
    EXPECT_TRUE(loose.converged);
    EXPECT_EQ(loose.level, 6);
    const RombergEstimate tight = integrate({4, 3, 20, 1e-13, false}, f);
    EXPECT_TRUE(tight.converged);
    EXPECT_GT(tight.level, 4);
    EXPECT_NEAR(tight.value, std::exp(1.0) - 1.0, 1e-13);
    EXPECT_LE(std::fabs(tight.error), 1e-13 * std::fabs(tight.value));
}

TEST(Romberg, UnconvergedEndsAtTheLastLevelWithTheLastExtrapolation) {
    // |x - 1/3| has a kink between nodes: the two-point extrapolation never
    // gets within 1e-15 by level 8.
    const auto kink = [](double x) { return std::fabs(x - 1.0 / 3.0); };
    long evaluations = 0;
    const RombergEstimate r = integrate({2, 1, 8, 1e-15, false}, kink, &evaluations);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.level, 8);
    EXPECT_EQ(evaluations, 257);
    EXPECT_NEAR(r.value, 5.0 / 18.0, 1e-4);
    EXPECT_NE(r.error, 0.0);
    // Without a test level the estimate stays empty.
    const RombergEstimate untested = integrate({2, 9, 8, 1e-15, false}, kink);
    EXPECT_FALSE(untested.converged);
    EXPECT_EQ(untested.value, 0.0);
    EXPECT_EQ(untested.error, 0.0);
}

TEST(Romberg, NonFiniteEstimatesStopOnlyWhenAsked) {
    // x = 1/8 first appears at level 3.
    const auto inf_at_eighth = [](double x) { return x == 0.125 ? kInf : 1.0; };
    for (bool stop : {false, true}) {
        long evaluations = 0;
        const RombergEstimate r = integrate({3, 5, 12, 1e-5, stop}, inf_at_eighth, &evaluations);
        EXPECT_FALSE(r.converged);
        EXPECT_TRUE(std::isnan(r.value));
        EXPECT_EQ(r.level, stop ? 3 : 12);
        EXPECT_EQ(evaluations, stop ? 9 : 4097);
    }
    // NaN ends: level 0 is already not finite.
    long evaluations = 0;
    const RombergEstimate r = integrate({3, 5, 12, 1e-5, true}, [](double) { return kNaN; }, &evaluations);
    EXPECT_EQ(r.level, 0);
    EXPECT_EQ(evaluations, 2);
    EXPECT_TRUE(std::isnan(r.value) && std::isnan(r.error));
}

TEST(Romberg, SchemeOutOfRangeIsAnInternalFailure) {
    const auto f = [](double x) { return x; };
    for (const RombergScheme bad : {RombergScheme{0, 0, 5, 1e-5, false}, RombergScheme{5, 3, 10, 1e-5, false},
                                    RombergScheme{2, 1, ostrel::misc::kRombergMaxLevel + 1, 1e-5, false}}) {
        EXPECT_EQ(ostrel_test::single_failure_message<ostrel::Failure>([&] { integrate(bad, f); },
                                                                       "src/misc/romberg.hpp"),
                  ostrel::misc::kRombergBadScheme);
    }
}

}  // namespace

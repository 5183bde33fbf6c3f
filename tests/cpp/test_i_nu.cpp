// Modified Bessel function I_nu: accuracy against independent values, the
// stopping rules and the order reflection.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <thread>
#include <vector>

#include "special_functions/i_nu.hpp"

namespace {

using ostrel::special_functions::i_nu;
using ostrel::special_functions::weierstrass_gamma;

double real_i_nu(double nu, double x) { return i_nu(nu, {x, 0.0}).real(); }

struct Reference {
    double nu;
    double x;
    double value;
};

// mpmath 1.4, 30 digits:  mpmath.besseli(nu, mpmath.mpf(x)).
const Reference kReference[] = {
    {0, 1e-3, 1.0000002500000156},     {0, 1e-2, 1.0000250001562504},
    {0, 0.1, 1.0025015629340956},      {0, 1, 1.2660658777520083},
    {0, 2, 2.2795853023360673},        {0, 5, 2.7239871823604447e+1},
    {0, 10, 2.8157166284662545e+3},    {0, 20, 4.3558282559553533e+7},
    {0, 50, 2.9325537838493363e+20},   {1, 1e-3, 5.000000625000026e-4},
    {1, 1e-2, 5.0000625002604172e-3},  {1, 0.1, 5.0062526047092692e-2},
    {1, 1, 5.6515910399248503e-1},     {1, 2, 1.5906368546373291},
    {1, 5, 2.4335642142450527e+1},     {1, 10, 2.6709883037012547e+3},
    {1, 20, 4.245497338512777e+7},     {1, 50, 2.9030785901035568e+20},
    {2, 1e-3, 1.2500001041666699e-7},  {2, 1e-2, 1.2500104166992188e-5},
    {2, 0.1, 1.2510419922417591e-3},   {2, 1, 1.3574766976703828e-1},
    {2, 2, 6.889484476987382e-1},      {2, 5, 1.7505614966624236e+1},
    {2, 10, 2.2815189677260035e+3},    {2, 20, 3.9312785221040756e+7},
    {2, 50, 2.8164306402451941e+20},   {3, 1e-2, 2.0833463541992188e-8},
    {3, 0.1, 2.0846357422327153e-5},   {3, 1, 2.2168424924331902e-2},
    {3, 2, 2.1273995923985266e-1},     {3, 5, 1.0331150169151138e+1},
    {3, 10, 1.7583807166108532e+3},    {3, 20, 3.4592416340919619e+7},
    {3, 50, 2.6777641388839413e+20},
};

// The Weierstrass product for Gamma(d), d = nu + 1, stops at the first
// factor with |g - 1| / f < 1e-12. With g - 1 ~ d^2 / (2 k^2) and f close to
// its limit f_inf = Gamma(d + 1) e^(gamma_E d), that is after
// K = d / sqrt(2e-12 f_inf) factors; the omitted factors multiply to about
// exp(d^2 / (2K)), so Gamma comes out low, and every term of the series high,
// by the relative amount  d / 2 * sqrt(2e-12 * Gamma(d + 1) e^(gamma_E d)):
// 9.4e-7 for nu = 0, 3.6e-6 for nu = 1, 1.2e-5 for nu = 2, 4.4e-5 for nu = 3.
double expected_excess(double nu) {
    const double d = nu + 1.0;
    return d / 2.0 * std::sqrt(2e-12 * std::tgamma(d + 1.0) * std::exp(0.5772156649015329 * d));
}

TEST(INu, MatchesReferenceValuesUpToTheTruncatedGamma) {
    for (const auto& ref : kReference) {
        const double excess = real_i_nu(ref.nu, ref.x) / ref.value - 1.0;
        // 1 % of the predicted excess, plus the series' own 1e-8 stopping rule.
        EXPECT_NEAR(excess, expected_excess(ref.nu), 0.01 * expected_excess(ref.nu) + 1e-8)
            << "nu = " << ref.nu << ", x = " << ref.x;
    }
}

TEST(INu, GammaProductIsLowByThePredictedAmount) {
    for (double d : {1.0, 2.0, 3.0, 4.0}) {
        const double deficit = 1.0 - weierstrass_gamma(d) / std::tgamma(d);
        EXPECT_NEAR(deficit, expected_excess(d - 1.0), 0.01 * expected_excess(d - 1.0)) << d;
    }
}

TEST(INu, NegativeIntegerOrdersAreReflected) {
    for (double x : {0.3, 1.0, 7.5}) {
        EXPECT_EQ(real_i_nu(-1.0, x), real_i_nu(1.0, x));
        EXPECT_EQ(real_i_nu(-2.0, x), real_i_nu(2.0, x));
        EXPECT_EQ(real_i_nu(-3.0, x), real_i_nu(3.0, x));
    }
    EXPECT_EQ(real_i_nu(-0.0, 2.0), real_i_nu(0.0, 2.0));
}

TEST(INu, NegativeNonIntegerOrderIsSummedDirectly) {
    // mpmath.besseli(-1.5, 1) = -0.2935253263474798. Gamma(-0.5) from the
    // product carries its own small truncation error.
    const double value = real_i_nu(-1.5, 1.0);
    EXPECT_LT(value, 0.0);
    EXPECT_NEAR(value / -0.2935253263474798, 1.0, 1e-5);
}

TEST(INu, LeadingTermBelowThresholdGivesExactZero) {
    // (z/2)^nu / Gamma(nu + 1) < 1e-8: (5e-4)^3 / 6 ~ 2e-11, (5e-5)^2 / 2 ~ 1e-9.
    EXPECT_EQ(i_nu(3.0, {1e-3, 0.0}), std::complex<double>(0.0, 0.0));
    EXPECT_EQ(i_nu(2.0, {1e-4, 0.0}), std::complex<double>(0.0, 0.0));
    EXPECT_EQ(i_nu(0.5, {0.0, 0.0}), std::complex<double>(0.0, 0.0));
    EXPECT_EQ(i_nu(3.0, {0.0, 0.0}), std::complex<double>(0.0, 0.0));
    // Just above the threshold: (0.005)^3 / 6 ~ 2.1e-8.
    EXPECT_GT(real_i_nu(3.0, 1e-2), 0.0);
}

TEST(INu, OrderZeroAtZeroIsTheReciprocalProduct) {
    // (z/2)^0 is exactly 1 and the next term vanishes, so the sum is 1/Gamma(1)
    // as the product gives it: slightly above 1. The cached Gamma is the same
    // number as one computed afresh.
    const double value = real_i_nu(0.0, 0.0);
    EXPECT_EQ(value, 1.0 / weierstrass_gamma(1.0));
    EXPECT_GT(value, 1.0);
    EXPECT_LT(value, 1.0 + 1e-5);
}

TEST(INu, RealArgumentGivesPositiveZeroImaginaryPart) {
    for (double nu : {0.0, 1.0, 2.5, 3.0}) {
        const auto value = i_nu(nu, {4.0, 0.0});
        EXPECT_EQ(value.imag(), 0.0);
        EXPECT_FALSE(std::signbit(value.imag()));
    }
}

TEST(INu, ImaginaryArgumentGivesTheBesselJ) {
    // I_1(i y) = i J_1(y); J_1(2) = 0.57672480775687338720 (A&S table 9.1).
    const auto value = i_nu(1.0, {0.0, 2.0});
    EXPECT_NEAR(value.real(), 0.0, 1e-15);
    EXPECT_NEAR(value.imag() / 0.57672480775687338720, 1.0 + expected_excess(1.0), 1e-7);
}

TEST(INu, OverflowingSeriesStopsAfterFiveHundredTerms) {
    // (z/2)^p overflows long before convergence, the stopping test is never
    // met (NaN quotients), and the sum ends at the term cap.
    const auto value = i_nu(0.0, {2000.0, 0.0});
    EXPECT_FALSE(std::isfinite(value.real()));
}

TEST(INu, NonFiniteOrderGivesNaN) {
    for (double nu : {NAN, INFINITY, -INFINITY}) {
        EXPECT_TRUE(std::isnan(i_nu(nu, {1.0, 0.0}).real())) << nu;
    }
}

TEST(INu, ProductThatUnderflowsEndsInsteadOfLoopingForEver) {
    // d = -1e15 + 0.5: every early factor is e^(d/k) / (1 + d/k) = -0, the
    // product is zero and the convergence test can never be met.
    const auto value = i_nu(-1e15 - 0.5, {1.0, 0.0});
    EXPECT_FALSE(std::isfinite(value.real()));
    EXPECT_FALSE(std::isfinite(weierstrass_gamma(1e300)));  // e^q overflows at once
}

TEST(INu, ConcurrentFirstUseOfAnOrderAgreesWithSerialUse) {
    // Order 1.25 is used by no other test, so four threads race to compute
    // and store its Gamma.
    constexpr int kThreads = 4;
    std::vector<double> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&results, i] { results[i] = real_i_nu(1.25, 3.0); });
    }
    for (auto& thread : threads) thread.join();
    const double serial = real_i_nu(1.25, 3.0);
    for (double r : results) EXPECT_EQ(r, serial);
}

TEST(INu, CachedGammaGivesTheBitsOfAFreshOne) {
    // At z/2 = 1e-4 the series stops after two terms (T1/S ~ 4e-9 < 1e-8):
    // S = (z/2)^nu / G + (z/2)^(nu+2) / (1 * (G * (1 + nu))), G = Gamma(nu+1)
    // from the product computed here afresh.
    for (double nu : {0.5, 1.0, 1.75}) {
        const double g = weierstrass_gamma(nu + 1.0);
        const double t0 = std::pow(1e-4, nu) / g;
        const double t1 = std::pow(1e-4, 2.0 * 1.0 + nu) / (1.0 * (g * (1.0 + nu)));
        EXPECT_EQ(real_i_nu(nu, 2e-4), t0 + t1) << nu;
        EXPECT_EQ(real_i_nu(nu, 2e-4), t0 + t1) << nu;  // now from the cache
    }
}

}  // namespace

// The synchrotron kernel R(x): cut-off, branch boundaries, the step at the
// upper boundary, and its accuracy against the exact pitch-angle average.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "radiation/rma_new.hpp"

namespace {

using ostrel::radiation::rma_new;
using ostrel::radiation::rma_of_x;
namespace rma = ostrel::radiation::rma;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The four pieces, transcribed from their definitions (powers L2 = L L,
// L3 = L L2, L4 = L2 L2, L5 = L L4, terms added in increasing degree).
double power_piece(double x) { return std::pow(x, 0.3333333333333333) * 1.808418021102802; }
double quintic(double x, const double (&c)[6]) {
    const double l = std::log(x);
    const double l2 = l * l, l3 = l * l2, l4 = l2 * l2, l5 = l * l4;
    return std::exp(c[0] + c[1] * l + c[2] * l2 + c[3] * l3 + c[4] * l4 + c[5] * l5);
}
double lower_piece(double x) {
    return quintic(x, {-0.7871626401625178, -0.7050933708504841, -0.35531869295610624,
                       -0.06503312461868385, -0.0060901233982264096, -0.00022764616638053332});
}
double upper_piece(double x) {
    return quintic(x, {-0.8236455154570651, -0.831668613094906, -0.525630345887699,
                       -0.22039314697105414, 0.01669179529512499, -0.028650695862677572});
}
double asymptote(double x) { return std::exp(-x) * 1.5707963267948966 * (-11.0 / (x * 18.0) + 1.0); }

double below(double x) { return std::nextafter(x, -kInf); }
double above(double x) { return std::nextafter(x, kInf); }

// At g = 1024 (g g 3 exact, cut-off far below) a chi with
// (chi + chi) / (g g 3) == x exactly, so that rma_new(chi, g) sees x.
constexpr double kG = 1024.0;
double x_of(double chi) { return (chi + chi) / (kG * kG * 3.0); }
double chi_for_x(double x) {
    double chi = x * 1.5 * kG * kG;
    for (int i = 0; i < 8 && x_of(chi) != x; ++i) chi = x_of(chi) < x ? above(chi) : below(chi);
    return chi;
}

TEST(RmaNew, CutOffIsStrict) {
    for (double g : {1.0, 3.7, 1e3, 2.5e7}) {
        const double cut = 0.75 / g;
        EXPECT_EQ(rma_new(cut, g), 0.0) << g;
        EXPECT_EQ(rma_new(below(cut), g), 0.0) << g;
        EXPECT_GT(rma_new(above(cut), g), 0.0) << g;
    }
    EXPECT_EQ(rma_new(kNaN, 10.0), 0.0);
    EXPECT_EQ(rma_new(5.0, kNaN), 0.0);
    EXPECT_EQ(rma_new(-5.0, 10.0), 0.0);
}

struct Boundary {
    double x;
    double (*below)(double);  // the pieces just below x, at x and just above
    double (*at)(double);
    double (*above)(double);
};

class RmaBoundary : public ::testing::TestWithParam<Boundary> {};

TEST_P(RmaBoundary, TakesTheStatedPieceAroundIt) {
    const Boundary b = GetParam();
    EXPECT_EQ(rma_of_x(below(b.x)), b.below(below(b.x)));
    EXPECT_EQ(rma_of_x(b.x), b.at(b.x));
    EXPECT_EQ(rma_of_x(above(b.x)), b.above(above(b.x)));
    // The same points through rma_new itself.
    const double chi = chi_for_x(b.x);
    ASSERT_EQ(x_of(chi), b.x);
    EXPECT_EQ(rma_new(chi, kG), b.at(b.x));
    // Neighbouring chi may round to the same x.
    const auto piece = [&](double x) { return x < b.x ? b.below(x) : x > b.x ? b.above(x) : b.at(x); };
    EXPECT_EQ(rma_new(above(chi), kG), piece(x_of(above(chi))));
    EXPECT_EQ(rma_new(below(chi), kG), piece(x_of(below(chi))));
}

INSTANTIATE_TEST_SUITE_P(Pieces, RmaBoundary,
                         ::testing::Values(
                             // The boundaries are closed: x itself takes the fit on its left.
                             Boundary{rma::kPowerLawTop, power_piece, lower_piece, lower_piece},
                             Boundary{rma::kLowerFitTop, lower_piece, lower_piece, upper_piece},
                             Boundary{rma::kUpperFitTop, upper_piece, upper_piece, asymptote}));

TEST(RmaNew, PiecesMeetAlmostContinuouslyExceptAtTheUpperBoundary) {
    for (double b : {rma::kPowerLawTop, rma::kLowerFitTop}) {
        EXPECT_NEAR(rma_of_x(above(b)) / rma_of_x(below(b)), 1.0, 1e-5) << b;
    }
    // Fit and asymptote differ by about 1 % where they meet.
    const double step = rma_of_x(above(rma::kUpperFitTop)) / rma_of_x(rma::kUpperFitTop) - 1.0;
    EXPECT_LT(step, -0.009);
    EXPECT_GT(step, -0.011);
}

// The exact R(x) = 1/2 Int_0^pi sin^2 a F(x / sin a) da, F(y) = y Int_y^inf K_5/3,
// by nested scipy quadrature (relative tolerance 1e-11):
//   F = lambda y: y * quad(lambda s: kv(5/3, exp(s)) * exp(s), log(y), log(800), epsrel=1e-12)
//   R = lambda x: quad(lambda a: sin(a)**2 * F(x / sin(a)), 0, pi/2, epsrel=1e-11)
// The fit follows it to 0.5 %.
TEST(RmaNew, FollowsTheExactPitchAngleAverage) {
    const struct {
        double x, exact;
    } points[] = {{1e-4, 0.08375794938916761},      {0.00032180900500625734, 0.12334301051116599},
                  {1e-3, 0.17902808700643225},      {0.01, 0.37149161549761966},
                  {0.1, 0.6614589970706829},        {0.3, 0.7050146712471018},
                  {0.650532122717873, 0.579300656642124}, {1.0, 0.43913038364192547},
                  {3.0, 0.06831842623312988},       {10.0, 6.770813745657181e-05},
                  {15.579904689804556, 2.597883612196489e-07}, {20.0, 3.1484417980755727e-09},
                  {50.0, 2.9942377555011953e-22}};
    for (const auto& p : points) EXPECT_NEAR(rma_of_x(p.x) / p.exact, 1.0, 5e-3) << p.x;
}

TEST(RmaNew, LargeXUnderflowsToZero) {
    EXPECT_GT(rma_of_x(745.0), 0.0);
    // The asymptote skips its exponential from x = 746 on: exp(-x) is 0 there.
    for (double x = rma::kUnderflow; x < 2e4; x = x * 1.001 + 0.01) {
        ASSERT_EQ(std::exp(-x), 0.0) << x;
        ASSERT_EQ(asymptote(x), 0.0) << x;
    }
    EXPECT_EQ(asymptote(below(rma::kUnderflow)), 0.0);
    EXPECT_EQ(rma_of_x(rma::kUnderflow), 0.0);
    EXPECT_EQ(rma_of_x(kInf), 0.0);
    EXPECT_TRUE(std::isnan(rma_of_x(kNaN)));
}

}  // namespace

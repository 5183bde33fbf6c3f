// Romberg integration: stated integrals, signed and empty intervals, the
// step limit with its evaluation count.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "misc/qromb_w2arg.hpp"

namespace {

using ostrel::misc::qromb_w2arg;

// Integrands are plain functions; the count of evaluations is test-only state.
long evaluations = 0;

double square(double x, double) {
    ++evaluations;
    return x * x;
}
double identity(double x, double) { return x; }
double power(double x, double p) { return std::pow(x, -p); }
double not_a_number(double, double) {
    ++evaluations;
    return std::numeric_limits<double>::quiet_NaN();
}

TEST(QrombW2arg, SquareOnUnitIntervalAtTheFifthStage) {
    evaluations = 0;
    const auto r = qromb_w2arg(&square, 0.0, 1.0, 0.0);
    ASSERT_TRUE(r.is_ok());
    EXPECT_NEAR(r.value(), 1.0 / 3.0, 4e-16);
    EXPECT_EQ(evaluations, 17);  // 2^(5-1) + 1
}

TEST(QrombW2arg, PowerWithParameter) {
    const auto r = qromb_w2arg(&power, 1.0, 4.0, 0.5);  // integral of x^-1/2 = 2
    ASSERT_TRUE(r.is_ok());
    EXPECT_NEAR(r.value(), 2.0, 2e-5);
}

TEST(QrombW2arg, ReversedLimitsGiveTheSignedIntegral) {
    const auto forward = qromb_w2arg(&power, 1.0, 4.0, 0.5);
    const auto backward = qromb_w2arg(&power, 4.0, 1.0, 0.5);
    ASSERT_TRUE(forward.is_ok() && backward.is_ok());
    EXPECT_NEAR(backward.value(), -forward.value(), 1e-14);
}

TEST(QrombW2arg, EmptyAndSymmetricIntervalsGiveZero) {
    EXPECT_EQ(qromb_w2arg(&power, 2.5, 2.5, 0.5).unwrap(), 0.0);
    EXPECT_EQ(qromb_w2arg(&identity, -1.0, 1.0, 0.0).unwrap(), 0.0);
}

TEST(QrombW2arg, NotANumberRunsOutOfSteps) {
    evaluations = 0;
    const auto r = qromb_w2arg(&not_a_number, 0.0, 1.0, 0.0);
    ASSERT_FALSE(r.is_ok());
    EXPECT_STREQ(r.error(), "qromb: too many steps");
    EXPECT_EQ(evaluations, 524289);  // 2^19 + 1
}

}  // namespace

// Neville interpolation: exactness on polynomials, the choice of the starting
// point, and the error values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "misc/interrupt.hpp"
#include "misc/polint.hpp"
#include "stderr_capture.hpp"

namespace {

using ostrel::Failure;
using ostrel::misc::polint;

std::string error_of(const std::vector<double>& xa, const std::vector<double>& ya, double x) {
    const auto r = polint(xa, ya, x);
    return r.is_ok() ? "<ok>" : r.error();
}

double cubic(double x) { return ((2.0 * x - 3.0) * x + 0.5) * x - 7.0; }

TEST(Polint, ReproducesPolynomialsOfItsDegree) {
    // A cubic through 4 and through 6 unevenly spaced points, unordered;
    // interpolation and extrapolation are exact up to rounding.
    const std::vector<double> xs4{0.5, -1.0, 2.0, 3.5};
    const std::vector<double> xs6{0.5, -1.0, 2.0, 3.5, 1.25, -2.5};
    for (const auto* xs : {&xs4, &xs6}) {
        std::vector<double> ys;
        for (double x : *xs) ys.push_back(cubic(x));
        for (double x : {-3.0, -0.3, 0.0, 1.0, 2.7, 5.0}) {
            const auto r = polint(*xs, ys, x);
            ASSERT_TRUE(r.is_ok());
            EXPECT_NEAR(r.value().y, cubic(x), 1e-12 * std::fabs(cubic(x)) + 1e-12) << x;
        }
    }
}

TEST(Polint, RombergExtrapolationOfALinearTable) {
    // Extrapolation to h^2 = 0 as the Romberg integrator does it: for values
    // linear in the abscissa the intercept comes out and the last correction
    // vanishes up to rounding.
    const std::vector<double> xa{1.0, 0.25, 1.0 / 16, 1.0 / 64, 1.0 / 256};
    std::vector<double> ya;
    for (double x : xa) ya.push_back(3.0 + 2.0 * x);
    const auto r = polint(xa, ya, 0.0);
    ASSERT_TRUE(r.is_ok());
    EXPECT_NEAR(r.value().y, 3.0, 1e-14);
    EXPECT_NEAR(r.value().dy, 0.0, 1e-14);
}

TEST(Polint, TieForTheNearestPointGoesToTheLowerIndex) {
    // xa = [0, 2], x = 1: both points are at distance 1. Starting from index 0
    // (y = 1) the single correction is c[0] = (x - 0) * (5 - 1) / (0 - 2) ...
    // by the tableau: den = ho0 - ho1 = 2, q = (5 - 1) / 2, c0 = ho0 * q = 2,
    // and 2 * ns = 0 < n - m = 1 selects c0: (y, dy) = (3, 2). Starting from
    // index 1 it would be (5 + d0, d0) with d0 = ho1 * q = -2: (3, -2).
    const auto r = polint(std::vector<double>{0.0, 2.0}, std::vector<double>{1.0, 5.0}, 1.0);
    ASSERT_TRUE(r.is_ok());
    EXPECT_EQ(r.value().y, 3.0);
    EXPECT_EQ(r.value().dy, 2.0);
}

TEST(Polint, SinglePointReturnsItsOrdinate) {
    const std::vector<double> xa{4.0}, ya{-2.5};
    for (double x : {4.0, -1e300, 7.0}) {
        const auto r = polint(xa, ya, x);
        ASSERT_TRUE(r.is_ok());
        EXPECT_EQ(r.value().y, -2.5);
        EXPECT_EQ(r.value().dy, 0.0);
    }
    // A distance that is NaN, infinite or the largest double never makes a
    // point the nearest one: the start value 0 is returned.
    for (double x : {double(NAN), double(INFINITY), 4.0 - 1.7976931348623157e308}) {
        const auto r = polint(xa, ya, x);
        ASSERT_TRUE(r.is_ok());
        EXPECT_EQ(r.value().y, 0.0) << x;
        EXPECT_EQ(r.value().dy, 0.0) << x;
    }
}

TEST(Polint, NotANumberPointGivesNotANumber) {
    const auto r = polint(std::vector<double>{1.0, 2.0, 3.0}, std::vector<double>{1.0, 4.0, 9.0}, NAN);
    ASSERT_TRUE(r.is_ok());
    EXPECT_TRUE(std::isnan(r.value().y));
    EXPECT_TRUE(std::isnan(r.value().dy));
}

TEST(Polint, ErrorValues) {
    EXPECT_EQ(error_of({1, 2, 3}, {1, 2, 3, 4}, 0.0), "polint: xa and ya have different sizes");
    EXPECT_EQ(error_of({}, {1, 2}, 0.0), "polint: xa and ya have different sizes");
    EXPECT_EQ(error_of({1, 2, 2}, {1, 2, 3}, 0.0), "polint: calculation failure");
    // Equal abscissae far apart in the table meet in a later column.
    EXPECT_EQ(error_of({1, 2, 3, 4, 1}, {1, 2, 3, 4, 5}, 0.5), "polint: calculation failure");
    // -0 - (+0) is a zero difference as well.
    EXPECT_EQ(error_of({-0.0, 0.0}, {1, 2}, 0.0), "polint: calculation failure");
    // Distinct abscissae whose differences from x round to the same double
    // (the spacing of doubles near 1e17 is 16).
    EXPECT_EQ(error_of({1.0, 2.0}, {1, 2}, 1e17), "polint: calculation failure");
    // Points at equal distance on both sides of x are fine.
    EXPECT_EQ(error_of({-1.0, 3.0, 1.0}, {1, 2, 3}, 0.0), "<ok>");
}

TEST(Polint, EmptyTableIsAnInternalFailure) {
    EXPECT_EQ(ostrel_test::single_failure_message<Failure>(
                  [] { (void)polint(std::vector<double>{}, std::vector<double>{}, 1.0); },
                  "src/misc/polint.cpp"),
              "index out of bounds: the len is 0 but the index is 0");
}

TEST(Polint, LargeTablesUseTheSameArithmetic) {
    // More points than fit the routine's stack work space: a quadratic
    // through 40 points, evaluated between them.
    std::vector<double> xa, ya;
    for (int i = 0; i < 40; ++i) {
        const double x = 1.0 + 0.05 * i;
        xa.push_back(x);
        ya.push_back(x * x - x);
    }
    const auto r = polint(xa, ya, 1.512);
    ASSERT_TRUE(r.is_ok());
    EXPECT_NEAR(r.value().y, 1.512 * 1.512 - 1.512, 1e-9);
}

}  // namespace

namespace {

struct CountingCheck {
    int calls = 0;
    bool stop = false;
    static bool check(void* context) noexcept {
        auto& self = *static_cast<CountingCheck*>(context);
        ++self.calls;
        return self.stop;
    }
};

// A large table (3000 points: 4.5 million steps) consults the calling
// thread's stop check while it works; a check that lets it go on changes no
// bit, one that asks to stop ends it with Interrupted. Small tables, which
// the integrators use on worker threads, never consult it.
TEST(Polint, LargeTablesConsultTheStopCheck) {
    const std::size_t n = 3000;
    std::vector<double> xa(n), ya(n);
    for (std::size_t i = 0; i < n; ++i) {
        xa[i] = 1.0 + 0.001 * static_cast<double>(i);
        ya[i] = std::sin(xa[i]);
    }
    const auto plain = polint(xa, ya, 0.99);
    ASSERT_TRUE(plain.is_ok());

    CountingCheck go_on;
    {
        ostrel::CallScope call(&CountingCheck::check, &go_on);
        const auto checked = polint(xa, ya, 0.99);
        ASSERT_TRUE(checked.is_ok());
        EXPECT_EQ(std::memcmp(&checked.value(), &plain.value(), sizeof(plain.value())), 0);
    }
    EXPECT_GE(go_on.calls, 1);

    CountingCheck stop;
    stop.stop = true;
    {
        ostrel::CallScope call(&CountingCheck::check, &stop);
        EXPECT_THROW(polint(xa, ya, 0.99), ostrel::Interrupted);
        const std::vector<double> small{1.0, 2.0, 3.0, 4.0, 5.0};
        EXPECT_EQ(polint(small, small, 2.5).value().y, 2.5);
    }
    EXPECT_EQ(stop.calls, 1);
}

}  // namespace

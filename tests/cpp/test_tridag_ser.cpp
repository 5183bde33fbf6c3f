// Tridiagonal solver: known solutions, pivot failures and the failures of
// vectors that are too short.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "misc/failure.hpp"
#include "stderr_capture.hpp"
#include "misc/tridag_ser.hpp"

namespace {

using ostrel::Failure;
using ostrel::misc::tridag_ser;
using Vec = std::vector<double>;

std::string failure_of(const Vec& a, const Vec& b, const Vec& c, const Vec& r) {
    return ostrel_test::single_failure_message<Failure>([&] { (void)tridag_ser(a, b, c, r); },
                                                        "src/misc/tridag_ser.cpp");
}

TEST(TridagSer, SmallSystemsWithKnownSolutions) {
    EXPECT_EQ(tridag_ser(Vec{1}, Vec{4, 4}, Vec{1}, Vec{6, 9}), (Vec{1, 2}));
    const Vec u = tridag_ser(Vec{1, 1}, Vec{2, 2, 2}, Vec{1, 1}, Vec{4, 8, 8});
    ASSERT_EQ(u.size(), 3u);
    EXPECT_NEAR(u[0], 1.0, 1e-15);
    EXPECT_NEAR(u[1], 2.0, 1e-15);
    EXPECT_NEAR(u[2], 3.0, 2e-15);
    // n = 1 reads neither a nor c.
    EXPECT_EQ(tridag_ser(Vec{}, Vec{4}, Vec{}, Vec{2}), (Vec{0.5}));
}

TEST(TridagSer, SolvesALargerSystemToRounding) {
    // A diagonally dominant system of 50 equations built from a chosen
    // solution x: r = A x.
    const std::size_t n = 50;
    Vec a(n - 1), b(n), c(n - 1), x(n), r(n);
    for (std::size_t j = 0; j < n; ++j) {
        b[j] = 4.0 + std::sin(0.3 * j);
        x[j] = std::cos(0.7 * j) + 0.1 * j;
        if (j + 1 < n) {
            a[j] = -1.0 + 0.01 * j;
            c[j] = 1.5 - 0.02 * j;
        }
    }
    for (std::size_t j = 0; j < n; ++j) {
        r[j] = b[j] * x[j];
        if (j > 0) r[j] += a[j - 1] * x[j - 1];
        if (j + 1 < n) r[j] += c[j] * x[j + 1];
    }
    const Vec u = tridag_ser(a, b, c, r);
    for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(u[j], x[j], 1e-13) << j;
}

TEST(TridagSer, SurplusElementsAreIgnored) {
    EXPECT_EQ(tridag_ser(Vec{1, 99, 99}, Vec{4, 4}, Vec{1, -7}, Vec{6, 9, 1e300}), (Vec{1, 2}));
}

TEST(TridagSer, ZeroPivots) {
    EXPECT_EQ(failure_of({1}, {0, 4}, {1}, {6, 9}), "tridag_ser: error at code stage 1");
    EXPECT_EQ(failure_of({1}, {-0.0, 4}, {1}, {6, 9}), "tridag_ser: error at code stage 1");
    // The stage 1 test comes before r is read.
    EXPECT_EQ(failure_of({}, {0}, {}, {}), "tridag_ser: error at code stage 1");
    // Regular matrix with a vanishing leading minor: 1 - 1 * (1 / 1) = 0.
    EXPECT_EQ(failure_of({1, 1}, {1, 1, 1}, {1, 1}, {1, 2, 3}), "tridag_ser: error at code stage 2");
    // The stage 2 test comes before r[j] is read.
    EXPECT_EQ(failure_of({1, 1}, {1, 1, 1}, {1, 1}, {1}), "tridag_ser: error at code stage 2");
    // A NaN pivot is not zero: it propagates.
    const Vec u = tridag_ser(Vec{1}, Vec{NAN, 4}, Vec{1}, Vec{6, 9});
    EXPECT_TRUE(std::isnan(u[0]) && std::isnan(u[1]));
}

TEST(TridagSer, TooShortVectorsFailAtTheFirstMissingElement) {
    const std::string prefix = "index out of bounds: the len is ";
    EXPECT_EQ(failure_of({}, {}, {}, {1}), prefix + "0 but the index is 0");   // b[0]
    EXPECT_EQ(failure_of({}, {2}, {}, {}), prefix + "0 but the index is 0");   // r[0]
    // Within a sweep step: c[j-1] first, then a[j-1], then r[j].
    EXPECT_EQ(failure_of({}, {2, 2}, {}, {1}), prefix + "0 but the index is 0");            // c[0]
    EXPECT_EQ(failure_of({}, {2, 2}, {1}, {1}), prefix + "0 but the index is 0");           // a[0]
    EXPECT_EQ(failure_of({1}, {2, 2}, {1}, {1}), prefix + "1 but the index is 1");          // r[1]
    EXPECT_EQ(failure_of({1}, {2, 2, 2}, {1, 1}, {1, 1, 1}), prefix + "1 but the index is 1");  // a[1]
    EXPECT_EQ(failure_of({1, 1}, {2, 2, 2}, {1}, {1}), prefix + "1 but the index is 1");    // c[1]
    // r short and c short at the same step: c is read first (len 2 vs len 1).
    EXPECT_EQ(failure_of({1, 1, 1}, {2, 2, 2, 2}, {1, 1}, {1, 1, 1}), prefix + "2 but the index is 2");
}

}  // namespace

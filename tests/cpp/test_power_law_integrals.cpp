// Ratio integral and sscr: closed forms, logarithmic fall-backs, switch
// points. Power-law segments: read order, floors, failures, local index.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "power_law_integrals/ratio_integral.hpp"
#include "power_law_integrals/segment.hpp"
#include "power_law_integrals/sscr.hpp"

namespace {

using ostrel::power_law_integrals::ratio_integral;
using ostrel::power_law_integrals::sscr;
using ostrel::power_law_integrals::switched_logs;

// Integral from lo to hi of t^e dt in closed form (e != -1).
double power_integral(double lo, double hi, double e) {
    return (std::pow(hi, e + 1.0) - std::pow(lo, e + 1.0)) / (e + 1.0);
}

// (r^s - 1)/s, the exact ratio integral, accurate also for r near 1.
double exact_ratio_integral(double r, double s) {
    if (s == 0.0) return std::log1p(r - 1.0);
    return std::expm1(s * std::log1p(r - 1.0)) / s;
}

TEST(Sscr, FactorisesIntoTwoSingleIntegrals) {
    struct Case {
        double x1, x2, y1, y2, a, b;
    };
    for (const Case c : {Case{0.01, 0.5, 2.0, 30.0, 0.7, -1.3}, Case{1e-3, 2e-2, 0.25, 4.0, -2.5, 1.25},
                         Case{0.3, 0.9, 1.0, 7.0, 3.0, -4.5}, Case{1e-8, 1e-4, 0.3, 1e5, -0.25, -3.0}}) {
        const double expected =
            power_integral(c.x1, c.x2, c.a) * power_integral(c.y1, c.y2, c.a + c.b + 1.0);
        EXPECT_NEAR(sscr(c.x1, c.x2, c.y1, c.y2, c.a, c.b) / expected, 1.0, 1e-13)
            << c.x1 << " " << c.a << " " << c.b;
    }
}

TEST(Sscr, EmptyRangeInEitherVariableGivesZero) {
    EXPECT_EQ(sscr(0.2, 0.2, 2.0, 30.0, 0.7, -1.3), 0.0);
    EXPECT_EQ(sscr(0.01, 0.5, 3.0, 3.0, 0.7, -1.3), 0.0);
}

TEST(Sscr, LogarithmicFormInBothFactors) {
    // a = -1 and a + b + 2 = 0: both single integrals are logarithms.
    const double expected = std::log(50.0) * std::log(15.0);
    EXPECT_NEAR(sscr(0.01, 0.5, 2.0, 30.0, -1.0, -1.0) / expected, 1.0, 1e-15);
}

TEST(Sscr, SplitEvaluationIsTheSameBits) {
    using namespace ostrel::power_law_integrals;
    for (double a : {-3.5, -1.0, 0.25, 2.0}) {
        for (double y2 : {1.0000001, 1.5, 40.0}) {
            const auto f = sscr_factors(1e-3, 0.4, a, 0.5);
            const double r = y2 / 0.7;
            EXPECT_EQ(sscr_finish(f, switched_logs(r), r, 0.7), sscr(1e-3, 0.4, 0.7, y2, a, 0.5));
        }
    }
}

TEST(RatioIntegral, VanishesAtRatioOne) {
    for (double p : {-8.0, -1.0, 0.0, 0.5, 3.0, 1e6}) {
        EXPECT_EQ(ratio_integral(1.0, p, -p), 0.0) << p;
    }
}

TEST(RatioIntegral, ZeroExponentIsTheLogarithm) {
    for (double r : {0.01, 0.5, 3.0, 1e10}) EXPECT_EQ(ratio_integral(r, 0.0, 0.0), std::log(r)) << r;
}

// The logarithms give way to r - 1 at the documented points: l3 near
// delta = 5.08e-3, lambda2 at 1e-3, lambda1 near 4.47e-5.
TEST(RatioIntegral, SwitchedLogarithmsFallBackNearOne) {
    struct Side {
        double delta;
        bool lambda1_log, lambda2_log, l3_log;
    };
    for (const Side s : {Side{5.2e-3, true, true, true}, Side{4.9e-3, true, true, false},
                         Side{1.01e-3, true, true, false}, Side{0.99e-3, true, false, false},
                         Side{4.6e-5, true, false, false}, Side{4.4e-5, false, false, false}}) {
        const double r = 1.0 + s.delta;
        const double L = std::log(r);
        const double d = r - 1.0;
        const auto logs = switched_logs(r);
        EXPECT_EQ(logs.lambda1, s.lambda1_log ? L : d) << s.delta;
        EXPECT_EQ(logs.lambda2, s.lambda2_log ? L * L : d * d) << s.delta;
        const double l3 = s.l3_log ? L : d;
        EXPECT_EQ(logs.l3_cubed, l3 * (l3 * l3)) << s.delta;
    }
    // Below 1 the signed cube keeps lambda2 at delta^2 however far r is.
    const double r = 0.5;
    EXPECT_EQ(switched_logs(r).lambda2, (r - 1.0) * (r - 1.0));
}

// On both sides of every switch the ratio integral stays close to the exact
// (r^s - 1)/s for the ratios above 1 that the emissivities use: the series
// and the fall-backs are accurate where they apply.
TEST(RatioIntegral, AccurateAcrossTheSwitches) {
    for (double delta : {0.3, 5.2e-3, 4.9e-3, 1.01e-3, 0.99e-3, 4.6e-5, 4.4e-5, 1e-7}) {
        for (double s : {-3.0, -1.0, -0.01, 0.0, 0.5, 2.5}) {
            const double r = 1.0 + delta;
            const double exact = exact_ratio_integral(r, s);
            const double got = ratio_integral(r, -s, s);
            // Replacing ln r by delta costs delta/2 relative (2.3e-5 at the
            // lambda1 switch); the series' first omitted term s^2 L^2/6 stays
            // below 1e-6 where its switch admits it.
            EXPECT_NEAR(got / exact, 1.0, 3e-5) << delta << " " << s;
        }
    }
}

// ---------------------------------------------------------------------------
// Power-law segments.

using ostrel::power_law_integrals::ReadOrder;
using ostrel::power_law_integrals::read_segment;
using ostrel::power_law_integrals::segment_index;
using ostrel::power_law_integrals::SegmentStatus;

TEST(Segment, ReadOrderDecidesBetweenSkipAndFail) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr auto lower = ReadOrder::lower_first;
    constexpr auto upper = ReadOrder::upper_first;
    struct Case {
        std::vector<double> v;
        std::size_t i;
        ReadOrder order;
        SegmentStatus expected;
    };
    const Case cases[] = {
        {{1.0, 2.0}, 0, lower, SegmentStatus::use},
        {{1.0, 2.0}, 0, upper, SegmentStatus::use},
        // The value at the floor, or NaN, skips; the other end is not read,
        // so a missing other end does not fail.
        {{1e-3}, 0, lower, SegmentStatus::skip},
        {{kNaN}, 0, lower, SegmentStatus::skip},
        {{1.0}, 0, lower, SegmentStatus::fail},
        {{1.0, 1e-3}, 0, lower, SegmentStatus::skip},
        {{1e-3, 1.0}, 0, upper, SegmentStatus::skip},
        {{1.0, kNaN}, 0, upper, SegmentStatus::skip},
        // Reading the upper end first fails at once when it is missing.
        {{1e-3}, 0, upper, SegmentStatus::fail},
        {{}, 0, lower, SegmentStatus::fail},
        {{1.0, 2.0, 3.0}, 2, lower, SegmentStatus::fail},
    };
    for (const Case& c : cases) {
        const auto r = read_segment(c.v, c.i, 1e-3, c.order);
        EXPECT_EQ(r.status, c.expected) << c.v.size() << " " << c.i << " " << static_cast<int>(c.order);
        if (r.status == SegmentStatus::use) {
            EXPECT_EQ(r.lo, c.v[c.i]);
            EXPECT_EQ(r.hi, c.v[c.i + 1]);
        }
    }
}

TEST(Segment, EverySegmentAfterAFailureFails) {
    const std::vector<double> v{1.0, 0.0, 1.0, 1.0, 1.0};
    for (const ReadOrder order : {ReadOrder::lower_first, ReadOrder::upper_first}) {
        bool failed = false;
        for (std::size_t i = 0; i < 10; ++i) {
            const bool fails = read_segment(v, i, 0.5, order).status == SegmentStatus::fail;
            EXPECT_TRUE(fails || !failed) << i;
            failed = failed || fails;
        }
        EXPECT_TRUE(failed);
    }
}

TEST(Segment, IndexOfAnExactPowerLawAndItsClamp) {
    // v = x^-p through (2, 2^-p) and (8, 8^-p) = (2, 2^-p) (4^-p), exact in binary.
    for (double p : {-3.0, -0.5, 0.0, 1.5, 2.5, 7.0}) {
        EXPECT_NEAR(segment_index(std::exp2(-p), std::exp2(-3.0 * p), 2.0, 8.0), p, 1e-15) << p;
    }
    EXPECT_EQ(segment_index(1.0, 1e-12, 1.0, 2.0), 8.0);
    EXPECT_EQ(segment_index(1.0, 1e12, 1.0, 2.0), -8.0);
    EXPECT_TRUE(std::isnan(segment_index(1.0, 1.0, 2.0, 2.0)));
}

}  // namespace

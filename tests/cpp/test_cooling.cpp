// Cooling-rate tables: their size check and the order of their failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "misc/failure.hpp"
#include "stderr_capture.hpp"
#include "radiation/rad_cool_pwl.hpp"

namespace {

using ostrel::radiation::checked_table_size;
using ostrel::radiation::rad_cool_pwl;

TEST(CoolingTables, SizeCheckedBeforeTheProductWraps) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(checked_table_size(200, 300), 60000u);
    EXPECT_EQ(checked_table_size(0, max), 0u);
    EXPECT_EQ(checked_table_size(max, 0), 0u);
    // 2^(bits/2) squared wraps to 0 in size_t arithmetic.
    const std::size_t half = std::size_t{1} << (std::numeric_limits<std::size_t>::digits / 2);
    EXPECT_THROW(checked_table_size(half, half), std::length_error);
    // Fits in size_t but not in a vector of doubles.
    EXPECT_THROW(checked_table_size(max / 4, 2), std::length_error);
}

// The message of the failure, whose diagnostic block is captured and checked.
std::string failure_of(const std::vector<double>& gg, const std::vector<double>& freqs,
                       const std::vector<double>& uu, bool with_kn) {
    return ostrel_test::single_failure_message<ostrel::Failure>(
        [&] { rad_cool_pwl(gg, freqs, uu, with_kn); }, "src/radiation/rad_cool_pwl.cpp");
}

TEST(CoolingTables, ShortSpectrumFailsBeforeAnyRate) {
    // The first segment (equal frequencies and values, x in the Romberg
    // range) would fail its integration; the short spectrum is found first.
    const std::vector<double> gg{1e8};
    const std::vector<double> freqs{1e12, 1e12, 2e12};
    EXPECT_EQ(failure_of(gg, freqs, {1.0, 1.0, 1.0}, true),
              "called `Result::unwrap()` on an `Err` value: \"qromb: too many steps\"");
    EXPECT_EQ(failure_of(gg, freqs, {1.0, 1.0}, true), ostrel::kArrayIndexMessage);
    // No Lorentz factors: nothing is read.
    EXPECT_TRUE(rad_cool_pwl({}, freqs, {}, true).empty());
}

}  // namespace

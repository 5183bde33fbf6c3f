// Internal failures and error values: the message forms callers see.
#include <gtest/gtest.h>

#include <vector>

#include "misc/failure.hpp"
#include "stderr_capture.hpp"

namespace {

using ostrel::Failure;
using ostrel::Result;

// The message of the failure; its diagnostic block names the calling line
// of this file.
template <class F>
std::string failure_message(F&& f) {
    return ostrel_test::single_failure_message<Failure>(f, "tests/cpp/test_failure.cpp");
}

TEST(Failure, UnwrapQuotesTheCarriedMessage) {
    const auto r = Result<double>::err("polint: calculation failure");
    EXPECT_FALSE(r.is_ok());
    EXPECT_EQ(failure_message([&] { r.unwrap(); }),
              "called `Result::unwrap()` on an `Err` value: \"polint: calculation failure\"");
}

TEST(Failure, UnwrapEscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(ostrel::unwrap_message("a\"b\\c\nd\x01"),
              "called `Result::unwrap()` on an `Err` value: \"a\\\"b\\\\c\\nd\\u{1}\"");
}

TEST(Failure, UnwrapOfAValueReturnsIt) { EXPECT_EQ(Result<double>::ok(2.5).unwrap(), 2.5); }

TEST(Failure, IndexFormsNameLengthAndIndex) {
    const std::vector<double> v{1.0, 2.0};
    EXPECT_EQ(ostrel::at(v, 1), 2.0);
    EXPECT_EQ(failure_message([&] { ostrel::at(v, 2); }),
              "index out of bounds: the len is 2 but the index is 2");
    EXPECT_EQ(failure_message([&] { ostrel::at_array(v, 7); }), ostrel::kArrayIndexMessage);
}

}  // namespace

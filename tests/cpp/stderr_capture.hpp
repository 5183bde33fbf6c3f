// Standard error captured at the descriptor level, for the tests that provoke
// internal failures on purpose. Each failure writes a diagnostic block
// ("thread '<unnamed>' failed at FILE:LINE:" and the message, see
// misc/failure.cpp) straight to descriptor 2, from whichever thread raised it;
// left alone, the expected blocks would stand in the test log like real
// faults. Capturing them keeps the log clean and lets the tests check the
// blocks themselves.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel_test {

struct FailureBlock {
    std::string where;    // "src/misc/polint.cpp:13" (path as written, without the colon after the line)
    std::string message;  // the failure's message, as carried by the exception
};

struct CapturedStderr {
    std::string text;
    std::vector<FailureBlock> blocks;
    std::vector<std::string> other_lines;  // anything that is not part of a block or the hint

    // The blocks whose location lies in the given source file (a path
    // suffix such as "src/misc/polint.cpp").
    std::size_t blocks_from(const std::string& file) const {
        std::size_t count = 0;
        for (const auto& block : blocks) {
            const auto colon = block.where.rfind(':');
            const std::string path = block.where.substr(0, colon);
            if (path.size() >= file.size() && path.compare(path.size() - file.size(), file.size(), file) == 0) {
                ++count;
            }
        }
        return count;
    }
};

// Splits captured text into failure blocks. The hint that follows the first
// block of the process ("note: ...") is skipped; every other line that is not
// part of a block goes to other_lines.
inline CapturedStderr parse_stderr(std::string text) {
    static const std::string kHead = "thread '<unnamed>' failed at ";
    CapturedStderr out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(kHead, 0) == 0 && line.size() > kHead.size() && line.back() == ':') {
            FailureBlock block;
            block.where = line.substr(kHead.size(), line.size() - kHead.size() - 1);
            if (std::getline(lines, line)) block.message = line;
            out.blocks.push_back(std::move(block));
        } else if (line.rfind("note: ", 0) != 0) {
            out.other_lines.push_back(line);
        }
    }
    out.text = std::move(text);
    return out;
}

// Captures descriptor 2 from construction until finish() (or destruction):
// the writes of every thread and of children made by fork() in between.
// Captures do not nest.
class StderrCapture {
public:
    StderrCapture() { testing::internal::CaptureStderr(); }
    ~StderrCapture() {
        if (active_) (void)testing::internal::GetCapturedStderr();
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    CapturedStderr finish() {
        active_ = false;
        return parse_stderr(testing::internal::GetCapturedStderr());
    }

private:
    bool active_ = true;
};

// Runs `f`, which is expected to raise an ostrel::Failure, with standard error
// captured, and checks what a serial failure writes: exactly one block, from
// the given source file, carrying the exception's message, and nothing else.
// Returns the message, or "<no failure>" (then nothing may have been written).
template <class Failure, class F>
std::string single_failure_message(F&& f, const std::string& file) {
    StderrCapture capture;
    std::string message = "<no failure>";
    bool failed = false;
    try {
        f();
    } catch (const Failure& failure) {
        message = failure.message();
        failed = true;
    }
    const CapturedStderr err = capture.finish();
    EXPECT_TRUE(err.other_lines.empty()) << err.text;
    if (!failed) {
        EXPECT_TRUE(err.blocks.empty()) << err.text;
        return message;
    }
    EXPECT_EQ(err.blocks.size(), 1u) << err.text;
    EXPECT_EQ(err.blocks_from(file), err.blocks.size()) << err.text;
    if (!err.blocks.empty()) {
        EXPECT_EQ(err.blocks.front().message, message);
    }
    return message;
}

}  // namespace ostrel_test

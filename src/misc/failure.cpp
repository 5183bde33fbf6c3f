#include "misc/failure.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace ostrel {
namespace {

std::atomic<bool> hint_written{false};

// Source paths are shown from the project's src/ folder on.
const char* short_path(const char* path) {
    const char* best = path;
    for (const char* p = std::strstr(path, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) {
        best = p;
    }
    return best;
}

}  // namespace

// One block per failure, written with a single call so that blocks from
// different threads never interleave. Worker threads and the interpreter's
// thread carry no name of ours.
void report_failure(const std::string& message, std::source_location where) {
    std::string block = "thread '<unnamed>' failed at ";
    block += short_path(where.file_name());
    block += ':';
    block += std::to_string(where.line());
    block += ":\n";
    block += message;
    block += '\n';
    if (!hint_written.exchange(true)) {
        block +=
            "note: to see where this failure was raised, run Python under gdb "
            "with `catch throw` and print the backtrace (`bt`)\n";
    }
    std::fwrite(block.data(), 1, block.size(), stderr);
    std::fflush(stderr);
}

void fail(std::string message, std::source_location where) {
    report_failure(message, where);
    throw Failure(std::move(message));
}

void fail_index(std::size_t len, std::size_t index, std::source_location where) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index),
         where);
}

void fail_array_index(std::source_location where) { fail(kArrayIndexMessage, where); }

std::string unwrap_message(const char* error) {
    std::string out = "called `Result::unwrap()` on an `Err` value: \"";
    for (const char* p = error; *p != '\0'; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (ch < 0x20 || ch == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", ch);
                    out += buf;
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace ostrel

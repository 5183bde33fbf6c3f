#include "misc/failure.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace ostrel {
namespace {

std::atomic<bool> hint_written{false};

// Held while a diagnostic block is written, by every thread. A fork() waits
// for the block being written (so that the child never inherits the mutex
// held by a thread it does not have) and releases it on both sides.
std::mutex g_diagnostic_mutex;

void lock_before_fork() noexcept { g_diagnostic_mutex.lock(); }
void unlock_after_fork() noexcept { g_diagnostic_mutex.unlock(); }

std::mutex& diagnostic_mutex() {
    static const bool registered =
        pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork) == 0;
    (void)registered;
    return g_diagnostic_mutex;
}

// The block in one write(2) where the descriptor takes it whole (a pipe takes
// up to PIPE_BUF bytes atomically, a file or terminal any size); the rest of
// a partial write follows at once, still under the mutex.
void write_unlocked(std::FILE* stream, std::string_view block) {
    if (block.empty()) return;
    const int saved_errno = errno;
    flockfile(stream);
    std::fflush(stream);
    const int fd = fileno(stream);
    const char* data = block.data();
    std::size_t left = block.size();
    while (fd >= 0 && left > 0) {
        const ssize_t done = ::write(fd, data, left);
        if (done < 0) {
            if (errno == EINTR) continue;
            break;
        }
        data += done;
        left -= static_cast<std::size_t>(done);
    }
    funlockfile(stream);
    errno = saved_errno;
}

// Source paths are shown from the project's src/ folder on.
const char* short_path(const char* path) {
    const char* best = path;
    for (const char* p = std::strstr(path, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) {
        best = p;
    }
    return best;
}

}  // namespace

void write_diagnostic(std::FILE* stream, std::string_view block) {
    const std::lock_guard<std::mutex> lock(diagnostic_mutex());
    write_unlocked(stream, block);
}

void write_diagnostics(std::FILE* first_stream, std::string_view first, std::FILE* second_stream,
                       std::string_view second) {
    const std::lock_guard<std::mutex> lock(diagnostic_mutex());
    write_unlocked(first_stream, first);
    write_unlocked(second_stream, second);
}

// One block per failure, written in one piece so that blocks from different
// threads never interleave. Worker threads and the interpreter's
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
    write_diagnostic(stderr, block);
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

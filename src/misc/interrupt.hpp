// Ending a long call early, and the state that lives for one call.
//
// Whoever runs one call of the kernels (the module's per-call wrapper, for
// the functions that can compute for seconds) opens a CallScope on the
// calling thread for the duration of the call. The scope
// carries a stop check: a plain function that answers "should this call stop
// now?". The module installs one that runs the interpreter's pending signal
// handlers; the kernel library never learns what the check does.
//
// The check is only ever called on the thread that opened the scope, never on
// a worker: the worker pool calls it while the calling thread waits for a map
// (every kStopCheckInterval), and serial loops that can run for seconds call
// poll_stop() at a coarse interval of their own. When the check answers true,
// the call ends with an `Interrupted` exception once the work already started
// has finished; whatever the check prepared for its caller (the module: the
// exception a signal handler raised) is left untouched for the wrapper to pass
// on. After a check has answered true it is not called again in that call.
//
// Polling changes no result: it only decides whether the next piece of work
// is started at all.
//
// Scopes nest (a stop check may itself run code that makes another call on
// the same thread): each scope restores the one it replaced. A check is not
// consulted from inside itself.
#pragma once

#include <chrono>
#include <exception>
#include <string>

namespace ostrel {

// Thrown when a call ends because its stop check asked for it.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Answers true when the call should stop. Runs on the calling thread only.
using StopCheck = bool (*)(void* context) noexcept;

// How often a waiting calling thread consults the stop check.
inline constexpr std::chrono::milliseconds kStopCheckInterval{20};

class CallScope {
public:
    explicit CallScope(StopCheck check = nullptr, void* context = nullptr) noexcept;
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Calls the stop check, unless there is none or it has already answered
    // true in this scope; true means stop (and is remembered).
    bool should_stop() noexcept;
    bool has_check() const noexcept { return check_ != nullptr && !stopped_ && !checking_; }
    bool stopped() const noexcept { return stopped_; }

    // The worker pool's note that its threads could not be started during
    // this call (empty: no failed start), so that it tries at most once.
    std::string pool_start_failure;

private:
    StopCheck check_;
    void* context_;
    bool stopped_ = false;
    bool checking_ = false;
    CallScope* previous_;
};

// The innermost scope open on this thread, or nullptr.
CallScope* current_call() noexcept;

// For serial loops: consults the stop check of the current call, if any, and
// throws Interrupted when it asks to stop. Cheap enough to call every few
// milliseconds of work, not per arithmetic operation.
void poll_stop();

}  // namespace ostrel

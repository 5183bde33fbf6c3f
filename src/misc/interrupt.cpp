#include "misc/interrupt.hpp"

namespace ostrel {
namespace {

thread_local CallScope* tl_call = nullptr;

}  // namespace

CallScope::CallScope(StopCheck check, void* context) noexcept
    : check_(check), context_(context), previous_(tl_call) {
    tl_call = this;
}

CallScope::~CallScope() { tl_call = previous_; }

bool CallScope::should_stop() noexcept {
    if (stopped_) return true;
    // A check that itself waits for a map of this call is not consulted again
    // from inside (it would recurse without end).
    if (check_ == nullptr || checking_) return false;
    checking_ = true;
    stopped_ = check_(context_);
    checking_ = false;
    return stopped_;
}

CallScope* current_call() noexcept { return tl_call; }

void poll_stop() {
    CallScope* call = tl_call;
    if (call != nullptr && call->should_stop()) throw Interrupted();
}

}  // namespace ostrel

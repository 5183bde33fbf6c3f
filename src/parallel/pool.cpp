#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "misc/failure.hpp"
#include "parallel/worker_count.hpp"

namespace ostrel::parallel {

// A piece offered to other threads: the upper half of a cut, or a whole range
// handed in by an outside thread. `done` is guarded by the pool's mutex.
struct Job {
    void (*execute)(Job& job, std::size_t worker, bool moved) noexcept;
    std::size_t cutter;  // index of the worker that cut it
    bool done = false;
};

// Everything is guarded by one mutex: the pool takes it only to offer, take
// and finish pieces (a few times per worker and halving), never per point.
struct Pool::State {
    explicit State(std::size_t n) : count(n), offered(n) {}

    const std::size_t count;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::vector<Job*>> offered;  // per worker, oldest first
    std::deque<Job*> injected;               // whole ranges from outside threads
    std::size_t sleepers = 0;                // threads that would take an offered piece
    bool stopping = false;
    std::vector<std::thread> threads;
};

namespace {

constexpr std::size_t kOutside = static_cast<std::size_t>(-1);

// The pool and index of the current thread if it is a worker.
thread_local Pool::State* tl_pool = nullptr;
thread_local std::size_t tl_index = 0;

// Takes an offered piece with the lock held: the newest of the thread's own
// offers first (idle workers have none), then the oldest offer of another
// worker, then (for idle workers only) a whole range from outside.
Job* take_work(Pool::State& s, std::size_t self, bool idle) {
    auto& own = s.offered[self];
    if (!own.empty()) {
        Job* job = own.back();
        own.pop_back();
        return job;
    }
    for (std::size_t k = 1; k < s.count; ++k) {
        auto& victim = s.offered[(self + k) % s.count];
        if (!victim.empty()) {
            Job* job = victim.front();
            victim.erase(victim.begin());
            return job;
        }
    }
    if (idle && !s.injected.empty()) {
        Job* job = s.injected.front();
        s.injected.pop_front();
        return job;
    }
    return nullptr;
}

// Runs a taken piece outside the lock and marks it done.
void run_taken(Pool::State& s, std::unique_lock<std::mutex>& lock, Job& job, std::size_t self) {
    lock.unlock();
    job.execute(job, self, job.cutter != self);
    lock.lock();
    job.done = true;
    s.wake.notify_all();
}

void worker_main(Pool::State* s, std::size_t self) {
    tl_pool = s;
    tl_index = self;
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping) {
        if (Job* job = take_work(*s, self, true)) {
            run_taken(*s, lock, *job, self);
            continue;
        }
        ++s->sleepers;
        s->wake.wait(lock);
        --s->sleepers;
    }
}

// Offers `upper`, runs `lower` (which must not throw) on this thread, then
// takes `upper` back if nobody started it, or helps with other offered pieces
// until it has finished.
template <class Lower>
void join(Pool::State& s, std::size_t self, Job& upper, Lower&& lower) {
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.offered[self].push_back(&upper);
        if (s.sleepers > 0) s.wake.notify_all();
    }
    lower();
    std::unique_lock<std::mutex> lock(s.mutex);
    // Every piece this thread offered while running `lower` has been taken
    // back or finished, so `upper` is the newest offer if it is still there.
    auto& own = s.offered[self];
    if (!own.empty() && own.back() == &upper) {
        own.pop_back();
        lock.unlock();
        upper.execute(upper, self, false);
        return;
    }
    while (!upper.done) {
        if (Job* job = take_work(s, self, false)) {
            run_taken(s, lock, *job, self);
            continue;
        }
        ++s.sleepers;
        s.wake.wait(lock);
        --s.sleepers;
    }
}

void divide(Pool::State& s, std::size_t self, RangeTask task, std::size_t begin, std::size_t end,
            std::size_t budget, bool moved);

struct UpperHalf : Job {
    UpperHalf(Pool::State& pool, RangeTask t, std::size_t b, std::size_t e, std::size_t s,
              std::size_t by)
        : Job{&UpperHalf::run, by}, state(&pool), task(t), begin(b), end(e), budget(s) {}

    static void run(Job& job, std::size_t worker, bool moved) noexcept {
        auto& half = static_cast<UpperHalf&>(job);
        try {
            divide(*half.state, worker, half.task, half.begin, half.end, half.budget, moved);
        } catch (...) {
            half.failure = std::current_exception();
        }
    }

    Pool::State* state;
    RangeTask task;
    std::size_t begin, end, budget;
    std::exception_ptr failure;
};

void divide(Pool::State& s, std::size_t self, RangeTask task, std::size_t begin, std::size_t end,
            std::size_t budget, bool moved) {
    const std::size_t m = end - begin;
    if (m < 2 || (!moved && budget == 0)) {
        task.run(task.context, begin, end);
        return;
    }
    const std::size_t halves = moved ? std::max(s.count, budget / 2) : budget / 2;
    const std::size_t mid = begin + m / 2;
    UpperHalf upper(s, task, mid, end, halves, self);
    std::exception_ptr lower_failure;
    join(s, self, upper, [&]() noexcept {
        try {
            divide(s, self, task, begin, mid, halves, false);
        } catch (...) {
            lower_failure = std::current_exception();
        }
    });
    if (lower_failure) std::rethrow_exception(lower_failure);
    if (upper.failure) std::rethrow_exception(upper.failure);
}

struct WholeRange : Job {
    WholeRange(Pool::State& pool, std::size_t count, RangeTask t)
        : Job{&WholeRange::run, kOutside}, state(&pool), n(count), task(t) {}

    // The whole range counts as not moved, whichever worker takes it.
    static void run(Job& job, std::size_t worker, bool) noexcept {
        auto& whole = static_cast<WholeRange&>(job);
        try {
            divide(*whole.state, worker, whole.task, 0, whole.n, whole.state->count, false);
        } catch (...) {
            whole.failure = std::current_exception();
        }
    }

    Pool::State* state;
    std::size_t n;
    RangeTask task;
    std::exception_ptr failure;
};

void stop_and_join(Pool::State& s) {
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
    }
    s.wake.notify_all();
    for (auto& thread : s.threads) thread.join();
}

}  // namespace

Pool::Pool(std::size_t workers, StartHook before_start) {
    auto state = std::make_unique<State>(std::max<std::size_t>(workers, 1));
    state->threads.reserve(state->count);
    try {
        for (std::size_t i = 0; i < state->count; ++i) {
            if (before_start != nullptr) before_start(i);
            state->threads.emplace_back(worker_main, state.get(), i);
        }
    } catch (const std::system_error& error) {
        stop_and_join(*state);
        fail(std::string("The global thread pool has not been initialized.: could not start a worker thread: ") +
             error.what());
    } catch (...) {
        stop_and_join(*state);
        throw;
    }
    state_ = state.release();
}

Pool::~Pool() {
    stop_and_join(*state_);
    delete state_;
}

std::size_t Pool::workers() const noexcept { return state_->count; }

void Pool::run(std::size_t n, RangeTask task) {
    State& s = *state_;
    WholeRange whole(s, n, task);
    if (tl_pool == &s) {
        WholeRange::run(whole, tl_index, false);
    } else {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.injected.push_back(&whole);
        if (s.sleepers > 0) s.wake.notify_all();
        while (!whole.done) s.wake.wait(lock);
    }
    if (whole.failure) std::rethrow_exception(whole.failure);
}

// The process-wide pool.
//
// Fork safety: a child made by fork() has only the thread that called fork(),
// so the inherited pool object describes workers that do not exist there, and
// its mutex may even be held by one of them at the moment of the fork. A
// pthread_atfork child handler therefore forgets the inherited pool: it is
// deliberately leaked (never joined, destroyed or touched again in the child),
// and the child's first parallel call creates a fresh pool, sized anew.
//
// From Python the forking thread holds the interpreter lock, and every call
// of this module holds that lock until its map has completed, so a fork never
// happens in the middle of a map: the parent's workers are asleep or about to
// be. The handler does not rely on that: a fork from another thread while a
// map runs leaves the child the same clean slate (the parent's map is not
// affected). What cannot be made safe is a fork from inside a per-point
// function: the child would return into a map whose other workers are gone.
namespace {

std::atomic<Pool*> g_pool{nullptr};
std::atomic_flag g_creating;  // held while the pool is created
std::atomic<Pool::StartHook> g_start_hook{nullptr};
bool g_fork_handler_installed = false;  // guarded by g_creating
Pool* g_abandoned = nullptr;            // keeps the pool a child forgot reachable

void forget_pool_in_child() noexcept {
    if (Pool* inherited = g_pool.load(std::memory_order_relaxed)) g_abandoned = inherited;
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_creating.clear(std::memory_order_relaxed);
}

}  // namespace

Pool& global_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    while (g_creating.test_and_set(std::memory_order_acquire)) {
        g_creating.wait(true, std::memory_order_relaxed);
    }
    struct Release {
        ~Release() {
            g_creating.clear(std::memory_order_release);
            g_creating.notify_all();
        }
    } release;
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    if (!g_fork_handler_installed) {
        g_fork_handler_installed = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    }
    // A pool that fails to start is not kept: the next call tries again.
    Pool* pool = new Pool(configured_worker_count(), g_start_hook.load());
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

std::size_t worker_count() { return global_pool().workers(); }

void set_global_start_hook_for_testing(Pool::StartHook hook) noexcept { g_start_hook.store(hook); }

}  // namespace ostrel::parallel

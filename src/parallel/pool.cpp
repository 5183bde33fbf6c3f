#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
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
#include "misc/interrupt.hpp"
#include "parallel/worker_count.hpp"

namespace ostrel::parallel {

// A piece offered to other threads: the upper half of a cut, or a whole range
// handed in by an outside thread. `done` is set with the pool's mutex held; a
// thread spinning for it may read it without the mutex.
struct Job {
    void (*execute)(Job& job, std::size_t worker, bool moved) noexcept;
    std::size_t cutter;  // index of the worker that cut it
    std::atomic<bool> done{false};
};

// Everything is guarded by one mutex: the pool takes it only to offer, take
// and finish pieces (a few times per worker and halving), never per point.
// `offers` counts offered and handed-in pieces; it changes only with the
// mutex held, so a thread that read it with the mutex held and finds it
// unchanged later (again with the mutex held) knows that nothing was offered
// in between, and spinning threads watch it without the mutex.
struct Pool::State {
    explicit State(std::size_t n) : count(n), offered(n) {}

    const std::size_t count;
    std::mutex mutex;
    std::condition_variable wake;          // workers: new work, a piece done, stopping
    std::condition_variable outside_wake;  // outside callers: a whole range done
    std::vector<std::vector<Job*>> offered;  // per worker, oldest first
    std::deque<Job*> injected;               // whole ranges from outside threads
    std::size_t sleepers = 0;                // workers asleep on `wake`
    std::atomic<std::uint64_t> offers{0};
    std::size_t hungry = 0;                  // workers waiting for work (spinning or asleep)
    std::size_t queued = 0;                  // pieces in `offered`
    // hungry > queued: a worker waits with nothing on offer for it. Written
    // with the mutex held, and only when it changes; a thread evaluating a
    // piece reads it before each point (see evaluate) on a cache line of its
    // own. A stale reading only moves a cut.
    alignas(64) std::atomic<bool> wanted{false};
    char pad[64 - sizeof(std::atomic<bool>)];
    std::atomic<bool> stopping{false};
    std::vector<std::thread> threads;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kOutside = static_cast<std::size_t>(-1);

// The pool and index of the current thread if it is a worker.
thread_local Pool::State* tl_pool = nullptr;
thread_local std::size_t tl_index = 0;

// The stop flag of the map whose piece this thread is evaluating, if any.
thread_local const std::atomic<bool>* tl_stop = nullptr;

// A running piece is cut for a waiting worker only if its points left take
// at least this long at the pace of its points so far (see evaluate).
constexpr std::chrono::nanoseconds kMinCutWork{1000};

// A cut flag that is never raised.
const std::atomic<bool> kNever{false};

// A hint to the processor that this is a spin-wait loop.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
    asm volatile("yield" ::: "memory");
#endif
}

// Spins until `ready()` holds (true) or kSpinTime has passed (false). Every
// few rounds it yields the processor, so that on a machine with more runnable
// threads than processors the thread it waits for can run.
template <class Ready>
bool spin_until(Ready&& ready) {
    const auto deadline = Clock::now() + kSpinTime;
    for (unsigned round = 1;; ++round) {
        if (ready()) return true;
        cpu_relax();
        if (round % 32 == 0) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::yield();
        }
    }
}

// Sets `wanted` after a change of `hungry` or `queued` (the lock is held).
void update_wanted(Pool::State& s) {
    const bool wanted = s.hungry > s.queued;
    if (s.wanted.load(std::memory_order_relaxed) != wanted) s.wanted.store(wanted, std::memory_order_relaxed);
}

// Puts a piece where other threads can take it (the lock is held).
void publish(Pool::State& s, std::vector<Job*>& queue, Job* job) {
    queue.push_back(job);
    ++s.queued;
    update_wanted(s);
    s.offers.store(s.offers.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (s.sleepers > 0) s.wake.notify_all();
}

// Waits, with the lock held on entry and on return, until something may have
// changed for a worker: a piece was offered, `finished()` holds, or the pool
// is stopping. Spins without the lock first, then sleeps. May return early;
// the caller re-examines its state in a loop.
template <class Finished>
void await_change(Pool::State& s, std::unique_lock<std::mutex>& lock, Finished&& finished) {
    const std::uint64_t seen = s.offers.load(std::memory_order_relaxed);
    ++s.hungry;
    update_wanted(s);
    struct Fed {
        Pool::State& s;
        ~Fed() {
            --s.hungry;
            update_wanted(s);
        }
    } fed{s};  // runs with the lock held again
    lock.unlock();
    const bool changed = spin_until([&] {
        return s.offers.load(std::memory_order_acquire) != seen || finished() ||
               s.stopping.load(std::memory_order_relaxed);
    });
    lock.lock();
    if (changed || s.offers.load(std::memory_order_relaxed) != seen || finished() ||
        s.stopping.load(std::memory_order_relaxed)) {
        return;
    }
    ++s.sleepers;
    s.wake.wait(lock);
    --s.sleepers;
}

// Takes the front or back of a worker's offers (the lock is held).
Job* take_back(Pool::State& s, std::vector<Job*>& queue) {
    Job* job = queue.back();
    queue.pop_back();
    --s.queued;
    update_wanted(s);
    return job;
}

Job* take_front(Pool::State& s, std::vector<Job*>& queue) {
    Job* job = queue.front();
    queue.erase(queue.begin());
    --s.queued;
    update_wanted(s);
    return job;
}

// Takes an offered piece with the lock held: the newest of the thread's own
// offers first (idle workers have none), then the oldest offer of another
// worker, then (for idle workers only) a whole range from outside.
Job* take_work(Pool::State& s, std::size_t self, bool idle) {
    auto& own = s.offered[self];
    if (!own.empty()) return take_back(s, own);
    for (std::size_t k = 1; k < s.count; ++k) {
        auto& victim = s.offered[(self + k) % s.count];
        if (!victim.empty()) return take_front(s, victim);
    }
    if (idle && !s.injected.empty()) {
        Job* job = s.injected.front();
        s.injected.pop_front();
        return job;
    }
    return nullptr;
}

// Runs a taken piece outside the lock and marks it done. The piece may be
// destroyed by its owner as soon as `done` is set, so it is not touched after.
void run_taken(Pool::State& s, std::unique_lock<std::mutex>& lock, Job& job, std::size_t self) {
    lock.unlock();
    job.execute(job, self, job.cutter != self);
    const bool from_outside = job.cutter == kOutside;
    lock.lock();
    job.done.store(true, std::memory_order_release);
    if (from_outside) {
        s.outside_wake.notify_all();
    } else if (s.sleepers > 0) {
        s.wake.notify_all();
    }
}

void worker_main(Pool::State* s, std::size_t self) {
    tl_pool = s;
    tl_index = self;
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping.load(std::memory_order_relaxed)) {
        if (Job* job = take_work(*s, self, true)) {
            run_taken(*s, lock, *job, self);
            continue;
        }
        await_change(*s, lock, [] { return false; });
    }
}

// Offers `upper`, runs `lower` (which must not throw) on this thread, then
// takes `upper` back if nobody started it, or helps with other offered pieces
// until it has finished.
template <class Lower>
void join(Pool::State& s, std::size_t self, Job& upper, Lower&& lower) {
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        publish(s, s.offered[self], &upper);
    }
    lower();
    std::unique_lock<std::mutex> lock(s.mutex);
    // Every piece this thread offered while running `lower` has been taken
    // back or finished, so `upper` is the newest offer if it is still there.
    auto& own = s.offered[self];
    if (!own.empty() && own.back() == &upper) {
        take_back(s, own);
        lock.unlock();
        upper.execute(upper, self, false);
        return;
    }
    while (!upper.done.load(std::memory_order_relaxed)) {
        if (Job* job = take_work(s, self, false)) {
            run_taken(s, lock, *job, self);
            continue;
        }
        await_change(s, lock, [&] { return upper.done.load(std::memory_order_acquire); });
    }
}

void divide(Pool::State& s, std::size_t self, RangeTask task, std::size_t begin, std::size_t end,
            std::size_t budget, bool moved, const std::atomic<bool>& stop);

struct UpperHalf : Job {
    UpperHalf(Pool::State& pool, RangeTask t, std::size_t b, std::size_t e, std::size_t s, std::size_t by,
              const std::atomic<bool>& flag)
        : Job{&UpperHalf::run, by}, state(&pool), task(t), begin(b), end(e), budget(s), stop(&flag) {}

    static void run(Job& job, std::size_t worker, bool moved) noexcept {
        auto& half = static_cast<UpperHalf&>(job);
        try {
            divide(*half.state, worker, half.task, half.begin, half.end, half.budget, moved, *half.stop);
        } catch (...) {
            half.failure = std::current_exception();
        }
    }

    Pool::State* state;
    RangeTask task;
    std::size_t begin, end, budget;
    const std::atomic<bool>* stop;
    std::exception_ptr failure;
};

// Runs [begin, mid) on this thread and offers [mid, end), with split budget
// `halves`, as a fork-join pair. The lower half's failure wins; either is
// rethrown only once both halves have finished.
template <class Lower>
void fork(Pool::State& s, std::size_t self, RangeTask task, std::size_t mid, std::size_t end,
          std::size_t halves, const std::atomic<bool>& stop, Lower&& lower) {
    UpperHalf upper(s, task, mid, end, halves, self, stop);
    std::exception_ptr lower_failure;
    join(s, self, upper, [&]() noexcept {
        try {
            lower();
        } catch (...) {
            lower_failure = std::current_exception();
        }
    });
    if (lower_failure) std::rethrow_exception(lower_failure);
    if (upper.failure) std::rethrow_exception(upper.failure);
}

// Evaluates a piece that the budget does not cut, in increasing index
// order. The task returns early, before a point with at least one more after
// it, when `wanted` is raised (a worker waits with nothing on offer); the
// points left are then cut in the middle as a fork-join pair, the offered
// upper half with budget 0. So a piece stays divisible for as long as it
// runs, and uneven costs per point even out whichever thread ends up with
// the expensive points.
void evaluate(Pool::State& s, std::size_t self, RangeTask task, std::size_t begin, std::size_t end,
              const std::atomic<bool>& stop) {
    struct Current {
        const std::atomic<bool>* previous = tl_stop;
        explicit Current(const std::atomic<bool>& flag) { tl_stop = &flag; }
        ~Current() { tl_stop = previous; }
    } current(stop);
    const auto start = Clock::now();
    const std::atomic<bool>* cut = &s.wanted;
    std::size_t next = begin;
    for (;;) {
        next = task.run(task.context, next, end, stop, *cut);
        if (next >= end || stop.load(std::memory_order_relaxed)) return;
        if (end - next < 2) continue;
        // The points left are worth a cut unless, at the pace of the points
        // done so far, they take less than kMinCutWork: handing half of them
        // over would cost more than it saves, and cheap points would be cut
        // down to single points. They then run here, uncut.
        const std::size_t done = next - begin;
        if (done == 0 || (Clock::now() - start) * (end - next) >= kMinCutWork * done) break;
        cut = &kNever;
    }
    const std::size_t mid = next + (end - next) / 2;
    fork(s, self, task, mid, end, 0, stop, [&] { evaluate(s, self, task, next, mid, stop); });
}

void divide(Pool::State& s, std::size_t self, RangeTask task, std::size_t begin, std::size_t end,
            std::size_t budget, bool moved, const std::atomic<bool>& stop) {
    // A stopped map starts nothing new; its result is thrown away.
    if (stop.load(std::memory_order_relaxed)) return;
    const std::size_t m = end - begin;
    if (m < 2 || (!moved && budget == 0)) {
        evaluate(s, self, task, begin, end, stop);
        return;
    }
    const std::size_t halves = moved ? std::max(s.count, budget / 2) : budget / 2;
    const std::size_t mid = begin + m / 2;
    fork(s, self, task, mid, end, halves, stop, [&] { divide(s, self, task, begin, mid, halves, false, stop); });
}

struct WholeRange : Job {
    WholeRange(Pool::State& pool, std::size_t count, RangeTask t)
        : Job{&WholeRange::run, kOutside}, state(&pool), n(count), task(t) {}

    // The whole range counts as not moved, whichever worker takes it.
    static void run(Job& job, std::size_t worker, bool) noexcept {
        auto& whole = static_cast<WholeRange&>(job);
        try {
            divide(*whole.state, worker, whole.task, 0, whole.n, whole.state->count, false, whole.stop);
        } catch (...) {
            whole.failure = std::current_exception();
        }
    }

    Pool::State* state;
    std::size_t n;
    RangeTask task;
    std::exception_ptr failure;
    std::atomic<bool> stop{false};
};

// The calling thread's wait for a whole range it handed in, consulting the
// call's stop check every kStopCheckInterval (without the lock: the check may
// run arbitrary code, even another map on this pool). Raises the range's stop
// flag when the check asks to stop and then waits for the started work.
void wait_outside(Pool::State& s, WholeRange& whole) {
    const auto finished = [&] { return whole.done.load(std::memory_order_acquire); };
    if (spin_until(finished)) return;
    CallScope* const call = current_call();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto next_check = Clock::now() + kStopCheckInterval;
    while (!finished()) {
        if (call == nullptr || !call->has_check()) {
            s.outside_wake.wait(lock);
            continue;
        }
        s.outside_wake.wait_until(lock, next_check);
        if (finished() || Clock::now() < next_check) continue;
        lock.unlock();
        const bool stop = call->should_stop();
        lock.lock();
        if (stop) whole.stop.store(true, std::memory_order_relaxed);
        next_check = Clock::now() + kStopCheckInterval;
    }
}

// Thrown by start_workers: the text of the internal failure to raise.
struct StartError {
    std::string message;
};

void stop_and_join(Pool::State& s) {
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping.store(true, std::memory_order_relaxed);
    }
    s.wake.notify_all();
    for (auto& thread : s.threads) thread.join();
}

constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

// Starts the workers; if one cannot be started, stops those already started
// and throws StartError.
Pool::State* start_workers(std::size_t workers, Pool::StartHook before_start) {
    auto state = std::make_unique<Pool::State>(std::max<std::size_t>(workers, 1));
    state->threads.reserve(state->count);
    try {
        for (std::size_t i = 0; i < state->count; ++i) {
            if (before_start != nullptr) before_start(i);
            state->threads.emplace_back(worker_main, state.get(), i);
        }
    } catch (const std::system_error& error) {
        stop_and_join(*state);
        throw StartError{std::string(kNotInitialized) + ": could not start a worker thread: " + error.what()};
    } catch (...) {
        stop_and_join(*state);
        throw;
    }
    return state.release();
}

}  // namespace

bool map_stopping() noexcept {
    const std::atomic<bool>* stop = tl_stop;
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

Pool::Pool(std::size_t workers, StartHook before_start) : state_(nullptr) {
    try {
        state_ = start_workers(workers, before_start);
    } catch (const StartError& error) {
        fail(error.message);
    }
}

Pool* Pool::try_create(std::size_t workers, StartHook before_start, std::string& failure) {
    try {
        State* state = start_workers(workers, before_start);
        return new Pool(state);
    } catch (const StartError& error) {
        failure = error.message;
        return nullptr;
    }
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
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.injected.push_back(&whole);
            s.offers.store(s.offers.load(std::memory_order_relaxed) + 1, std::memory_order_release);
            if (s.sleepers > 0) s.wake.notify_all();
        }
        wait_outside(s, whole);
    }
    if (whole.stop.load(std::memory_order_relaxed)) throw Interrupted();
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

namespace {

// A configured count far beyond what can run at once is refused before any
// thread is started: every call would otherwise start (and, once the process
// table or the address space runs out, tear down again) thousands of threads.
std::string refusal(std::size_t workers) {
    const std::size_t ceiling = std::max(kWorkerCeiling, default_worker_count());
    if (workers <= ceiling) return {};
    return std::string(kNotInitialized) + ": " + std::to_string(workers) +
           " worker threads requested (RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS), more than the " +
           std::to_string(ceiling) + " this process starts";
}

// The process-wide pool, created if needed; nullptr with `failure` set if it
// cannot be created now.
Pool* create_global_pool(std::string& failure) {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool;
    while (g_creating.test_and_set(std::memory_order_acquire)) {
        g_creating.wait(true, std::memory_order_relaxed);
    }
    struct Release {
        ~Release() {
            g_creating.clear(std::memory_order_release);
            g_creating.notify_all();
        }
    } release;
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool;
    if (!g_fork_handler_installed) {
        g_fork_handler_installed = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    }
    const std::size_t workers = configured_worker_count();
    failure = refusal(workers);
    if (!failure.empty()) return nullptr;
    // A pool that fails to start is not kept: a later call tries again.
    Pool* pool = Pool::try_create(workers, g_start_hook.load(), failure);
    if (pool != nullptr) g_pool.store(pool, std::memory_order_release);
    return pool;
}

}  // namespace

Pool* global_pool_for(std::size_t n) {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool;
    CallScope* const call = current_call();
    std::string failure;
    if (call != nullptr && !call->pool_start_failure.empty()) {
        failure = call->pool_start_failure;
    } else if (Pool* pool = create_global_pool(failure)) {
        return pool;
    } else if (call != nullptr) {
        call->pool_start_failure = failure;
    }
    if (n <= 1) return nullptr;
    fail(failure);
}

Pool& global_pool() { return *global_pool_for(2); }

std::size_t worker_count() { return global_pool().workers(); }

void set_global_start_hook_for_testing(Pool::StartHook hook) noexcept { g_start_hook.store(hook); }

}  // namespace ostrel::parallel

// The worker pool behind the parallel maps.
//
// A Pool owns a fixed number of worker threads. `run(n, task)` evaluates the
// index range [0, n) on the workers by adaptive fork-join division and blocks
// the calling thread until every piece has finished:
//
//  - Every piece carries a split budget s; the whole range starts with s equal
//    to the worker count and counts as not moved. A piece is moved when it runs
//    on another thread than the one that cut it from its parent.
//  - A piece of fewer than 2 points is not cut. A moved piece is cut and both
//    halves get max(workers, s/2); a piece that is not moved is cut when s > 0,
//    both halves getting s/2, and is not cut when s = 0.
//  - A cut splits m points at m/2: the lower half has m/2 points. The cutting
//    thread runs the lower half itself and offers the upper half to idle
//    workers; when the lower half is done it takes the upper half back and runs
//    it itself if nobody has started it, and otherwise helps with other offered
//    pieces until the upper half has finished.
//  - A piece that is not cut is handed to the task, which evaluates its points
//    in increasing index order and stops at the first point that throws.
//  - A piece stays divisible while it is evaluated. Whenever a worker waits
//    for work and nothing is on offer for it (more workers waiting than
//    offered pieces), the task returns before its next point i if at least
//    two points are left, and the points left, [i, end), are cut at
//    i + (end - i)/2 as a fork-join pair like any other cut: this thread
//    evaluates the lower half the same way and offers the upper half with
//    budget 0 (a worker that takes it over cuts it as a moved piece). The
//    cut is skipped (and the piece runs to its end here) when points of the
//    piece were done already and, at their pace, the points left take less
//    than kMinCutWork (pool.cpp, 1 microsecond): handing half of them over
//    would cost more than it saves, and maps of very cheap points would be
//    cut down to single points. The budget alone fixes the pieces before
//    anyone has run out of work; with uneven costs per point, a thread that
//    took back an upper half, or got the expensive end of the range, would
//    otherwise evaluate it whole while the other workers sit idle.
//
// Failures travel as std::exception_ptr, so any exception type arrives intact
// (ostrel::Failure, std::bad_alloc, ...). At every fork-join pair the other
// half finishes before the failure goes further up, and the lower half's
// failure wins when both halves failed: the exception rethrown on the calling
// thread is that of the lowest failing index, after every started piece has
// finished. The pool stays usable.
//
// Each result depends only on its own point, so results are identical for
// every worker count and every division.
//
// Stopping early (misc/interrupt.hpp). A calling thread from outside the pool
// that has a call scope with a stop check consults it every
// kStopCheckInterval while it waits. When the check asks to stop, the map's
// stop flag is raised: no piece starts any more, the task stops before its
// next point (the points being evaluated finish), and once everything started
// has finished `run` throws Interrupted, whatever the points did.
//
// Waiting. A thread that runs out of work (an idle worker, a worker waiting
// for an upper half that another worker took, the calling thread waiting for
// its map) first spins for at most kSpinTime, watching for new work or the
// end of what it waits for, and only then sleeps on a condition variable. A
// map that follows soon after the previous one is taken up without a wake-up
// through the kernel; an idle pool costs no processor time once the spin has
// run out.
//
// The process-wide pool (`global_pool`) is created on first use, sized by
// `configured_worker_count()` (worker_count.hpp), and never shut down; a child
// made by fork() forgets the inherited pool and creates its own on first use
// (see pool.cpp). Pools built directly (tests, benchmarks) stop and join
// their workers when destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace ostrel::parallel {

// How long a thread that runs out of work spins before it sleeps.
inline constexpr std::chrono::microseconds kSpinTime{50};

// The most worker threads a pool of the process is given: a larger configured
// count is refused (see global_pool_for) unless the processors available to
// the process are more.
inline constexpr std::size_t kWorkerCeiling = 1024;

// One piece of work: evaluate the points [begin, end) in increasing order,
// throwing at the first failing point, and return the index of the first
// point not evaluated: `end` when all were, or an earlier index when it
// returned before a point because `stop` was raised, or because `cut` was
// raised and at least two points (this one and another) were left.
struct RangeTask {
    void* context;
    std::size_t (*run)(void* context, std::size_t begin, std::size_t end, const std::atomic<bool>& stop,
                       const std::atomic<bool>& cut);

    // `body` is called as body(begin, end, stop, cut) and returns as above.
    template <class Body>
    static RangeTask of(Body& body) {
        return {&body, [](void* context, std::size_t begin, std::size_t end, const std::atomic<bool>& stop,
                          const std::atomic<bool>& cut) -> std::size_t {
                    return (*static_cast<Body*>(context))(begin, end, stop, cut);
                }};
    }
};

class Pool {
public:
    // Called with the worker's index before each worker thread is started; a
    // test may throw std::system_error from it to act as a failed start.
    using StartHook = void (*)(std::size_t index);

    // Starts `workers` threads (at least one). If a thread cannot be started,
    // the threads already started are stopped and an internal failure is
    // raised whose message begins "The global thread pool has not been
    // initialized.".
    explicit Pool(std::size_t workers, StartHook before_start = nullptr);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t workers() const noexcept;

    // Evaluates [0, n) as described above and blocks until it is done; then
    // throws Interrupted if the calling thread's stop check asked to stop,
    // and otherwise rethrows the failure of the lowest failing index, if any.
    // Called from one of this pool's own workers, it runs the whole range on
    // that worker (which still shares its pieces with the others) instead of
    // waiting.
    void run(std::size_t n, RangeTask task);

    struct State;

    // Starts a pool without reporting a failure to start: on failure returns
    // nullptr and sets `failure` to the message the constructor would raise.
    static Pool* try_create(std::size_t workers, StartHook before_start, std::string& failure);

private:
    explicit Pool(State* state) noexcept : state_(state) {}
    State* state_;
};

// True when called from a per-point function of a map that has been asked to
// stop (its result will be thrown away): a point that is long by itself may
// then give up early, by throwing Interrupted. False on any other thread.
bool map_stopping() noexcept;

// The process-wide pool, created on first use; raises the internal failure
// "The global thread pool has not been initialized.: ..." if its workers
// cannot be started (or are refused, see global_pool_for).
Pool& global_pool();

// The process-wide pool for a map of n points. If it does not exist yet it is
// created; if that fails, a map of n >= 2 points raises the internal failure
// above, and a map of n <= 1 points gets nullptr (it needs no worker: the
// caller evaluates the point itself). Within one call (a CallScope,
// misc/interrupt.hpp) a failed start is not tried again: later maps of that
// call fail, or get nullptr, at once. Without a call scope every map tries.
//
// A configured worker count above max(kWorkerCeiling, the processors
// available) is refused without starting any thread: such a count asks for
// far more threads than can run at once, and starting them (only to have the
// start fail part way, on every call) could exhaust the process table or the
// address space.
Pool* global_pool_for(std::size_t n);

// The number of workers of the process-wide pool (creating it if needed).
std::size_t worker_count();

// Test hook: the StartHook of the next process-wide pool to be created.
void set_global_start_hook_for_testing(Pool::StartHook hook) noexcept;

}  // namespace ostrel::parallel

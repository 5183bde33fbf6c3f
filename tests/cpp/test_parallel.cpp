// The worker pool and the parallel maps: ordering, determinism, sharing of
// work, the lowest-index failure rule, thread-start failure, fork safety and
// the worker-count rules.
#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "misc/failure.hpp"
#include "misc/interrupt.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/worker_count.hpp"
#include "stderr_capture.hpp"

namespace {

using namespace std::chrono_literals;
using ostrel::Failure;
using ostrel::parallel::map_indices;
using ostrel::parallel::map_indices_cheap;
using ostrel::parallel::map_indices_on;
using ostrel::parallel::map_values;
using ostrel::parallel::map_values_on;
using ostrel::parallel::Pool;

struct Pair {
    double a = 0.0;
    double b = 0.0;
};

// A per-point function with some libm work, so that a slot written with the
// wrong point's value or a torn write would show.
double point_value(std::size_t i) {
    const double x = 0.37 * static_cast<double>(i) + 1.0;
    double sum = 0.0;
    for (int k = 1; k <= 8; ++k) sum += std::exp(-x / k) * std::log(x + k);
    return sum;
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// Waits until `ready()` holds; false after 20 s (a hang in the pool then fails
// the test instead of blocking the suite).
class Signal {
public:
    void raise() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raised_ = true;
        }
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, 20s, [&] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool raised_ = false;
};

// The fork tests run in the ordinary builds only:
//  - ThreadSanitizer refuses to start threads in the child of a
//    multi-threaded fork;
//  - AddressSanitizer's runtime (GCC 12's libasan) does not take its
//    allocator's locks around fork(). A child inherits any of them that a
//    parent thread held at that moment - for instance a worker still starting
//    up, which frees memory inside ASan's own thread set-up
//    (AsanThread::Init -> pthread_getattr_np -> free) - and the child's first
//    allocation from that size class then waits forever. The pool's workers
//    are not yet running our code then, so no handling of ours can prevent
//    it; with glibc's allocator, which is locked across fork(), the same
//    fork is sound.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kForkTestsPossible = false;
constexpr const char* kNoForkReason = "fork() with threads under a sanitizer runtime";
#else
constexpr bool kForkTestsPossible = true;
constexpr const char* kNoForkReason = "";
#endif

// Runs `body` in a child process made by fork() and returns its exit status,
// or -1 if the child did not end within 20 s (it is then killed).
int exit_status_of_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
            status = 98;
        }
        _exit(status);
    }
    if (pid < 0) return -2;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
        std::this_thread::sleep_for(5ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

const std::vector<std::size_t> kPoolSizes{1, 2, 3, 7};
const std::vector<std::size_t> kSizes{0, 1, 2, 3, 5, 17, 64, 1001, 100000};

TEST(ParallelMap, IndicesMatchSerialEvaluationBitForBitForEveryPoolSize) {
    for (const std::size_t workers : kPoolSizes) {
        Pool pool(workers);
        EXPECT_EQ(pool.workers(), workers);
        for (const std::size_t n : kSizes) {
            const auto out = map_indices_on<double>(pool, n, point_value);
            ASSERT_EQ(out.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(same_bits(out[i], point_value(i))) << "workers " << workers << " n " << n << " i " << i;
            }
        }
    }
}

TEST(ParallelMap, ValuesKeepInputOrderWithPairResults) {
    for (const std::size_t workers : kPoolSizes) {
        Pool pool(workers);
        for (const std::size_t n : kSizes) {
            std::vector<double> values(n);
            for (std::size_t i = 0; i < n; ++i) values[i] = 1.0 / (static_cast<double>(i) + 0.5);
            const auto out = map_values_on<Pair>(pool, values, [](double v) { return Pair{v, -2.0 * v}; });
            ASSERT_EQ(out.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(out[i].a, values[i]);
                ASSERT_EQ(out[i].b, -2.0 * values[i]);
            }
        }
    }
}

TEST(ParallelMap, ProcessWidePoolServesTheFreeFunctions) {
    const std::size_t workers = ostrel::parallel::worker_count();
    EXPECT_GE(workers, 1u);
    EXPECT_EQ(&ostrel::parallel::global_pool(), &ostrel::parallel::global_pool());
    EXPECT_TRUE(map_indices<double>(0, point_value).empty());
    const std::vector<double> values{3.0, 1.0, 2.0, 5.0, 4.0};
    const auto out = map_values<double>(values, [](double v) { return v * v; });
    EXPECT_EQ(out, (std::vector<double>{9.0, 1.0, 4.0, 25.0, 16.0}));
}

TEST(ParallelMap, CallerEvaluatesASinglePointAndOnlyWaitsForMore) {
    Pool pool(2);
    const auto caller = std::this_thread::get_id();
    for (const std::size_t n : {1u, 2u, 3u, 50u}) {
        std::mutex mutex;
        std::set<std::thread::id> threads;
        map_indices_on<double>(pool, n, [&](std::size_t) {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
            return 0.0;
        });
        EXPECT_EQ(threads.count(caller), n == 1 ? 1u : 0u) << "n " << n;
    }
}

// A cheap map below its threshold runs on the calling thread, at and above it
// on the workers; either way the values, their slots and the reported failure
// (the lowest failing index) are those of an ordinary map.
TEST(ParallelMap, CheapMapRunsOnTheCallerOnlyBelowItsThreshold) {
    const auto caller = std::this_thread::get_id();
    for (const std::size_t n : {0u, 1u, 2u, 63u, 64u, 65u, 1000u}) {
        std::mutex mutex;
        std::set<std::thread::id> threads;
        const auto out = map_indices_cheap<double>(n, 64, [&](std::size_t i) {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
            return point_value(i);
        });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_bits(out[i], point_value(i))) << "n " << n;
        if (n > 1) {
            EXPECT_EQ(threads.count(caller), n < 64 ? 1u : 0u) << "n " << n;
        }
        for (const std::size_t serial_below : {std::size_t{1}, n + 1}) {
            std::string message = "<no failure>";
            std::atomic<std::size_t> highest{0};
            try {
                map_indices_cheap<double>(n, serial_below, [&](std::size_t i) {
                    std::size_t seen = highest.load();
                    while (i > seen && !highest.compare_exchange_weak(seen, i)) {
                    }
                    if (i == 5 || i == 9) throw Failure("point " + std::to_string(i));
                    return point_value(i);
                });
            } catch (const Failure& failure) {
                message = failure.message();
            }
            EXPECT_EQ(message, n > 5 ? "point 5" : "<no failure>") << "n " << n << " below " << serial_below;
            // on the calling thread the first failure ends the map
            if (serial_below > n && n > 5) {
                EXPECT_EQ(highest.load(), 5u) << "n " << n;
            }
        }
    }
}

// With one worker nobody else can take an offered upper half, so the worker
// takes each one back after its lower half: the points come in index order.
TEST(ParallelMap, OneWorkerEvaluatesInIncreasingIndexOrder) {
    Pool pool(1);
    std::vector<std::size_t> order;
    map_indices_on<double>(pool, 37, [&](std::size_t i) {
        order.push_back(i);
        return 0.0;
    });
    ASSERT_EQ(order.size(), 37u);
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
}

// Two workers, 64 points. The worker that takes the whole range cuts it and
// evaluates the lower half [0, 32) itself; point 0 can only finish once the
// other worker has taken the offered upper half and evaluated one of its
// points.
TEST(ParallelPool, IdleWorkerTakesTheOfferedUpperHalf) {
    Pool pool(2);
    Signal upper_started;
    std::atomic<bool> timed_out{false};
    map_indices_on<double>(pool, 64, [&](std::size_t i) {
        if (i >= 32) upper_started.raise();
        if (i == 0 && !upper_started.wait()) timed_out = true;
        return 0.0;
    });
    EXPECT_FALSE(timed_out);
}

// Point 32 begins the upper half; whoever runs it (the worker that took the
// half over, or the cutter that took it back) cuts [32, 64) again and offers
// [48, 64). Point 32 can only finish once the other worker - idle, or done
// with its own half and waiting - has taken that piece over.
TEST(ParallelPool, WaitingWorkerHelpsWithOfferedPieces) {
    Pool pool(2);
    Signal last_quarter_started;
    std::atomic<bool> timed_out{false};
    map_indices_on<double>(pool, 64, [&](std::size_t i) {
        if (i >= 48) last_quarter_started.raise();
        if (i == 32 && !last_quarter_started.wait()) timed_out = true;
        return 0.0;
    });
    EXPECT_FALSE(timed_out);
}

// Two workers, 64 points; X is the worker that takes the whole range. The
// budget gives X [0, 16), offers [32, 64) (taken by the other worker, Y) and
// then [16, 32), which X takes back when [0, 16) is done, while Y is still
// held at point 63 (until point 16 has started). Once Y has finished, it
// waits with nothing on offer, and the points 17... of X's piece are slow:
// the piece X took back must still be cut for Y, so some point of [17, 32)
// runs on another thread than point 16.
TEST(ParallelPool, PieceTakenBackIsCutForAWorkerThatRunsOutOfWork) {
    Pool pool(2);
    Signal sixteen_started;
    Signal last_finished;
    std::atomic<bool> timed_out{false};
    std::mutex mutex;
    std::map<std::size_t, std::thread::id> ran_on;
    std::atomic<bool> elsewhere{false};  // a point of [17, 32) ran on another thread than point 16
    map_indices_on<double>(pool, 64, [&](std::size_t i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ran_on[i] = std::this_thread::get_id();
            if (i > 16 && i < 32 && ran_on.count(16) != 0 && ran_on[16] != ran_on[i]) elsewhere = true;
        }
        if (i == 16) {
            sixteen_started.raise();
            if (!last_finished.wait()) timed_out = true;
        } else if (i == 63) {
            if (!sixteen_started.wait()) timed_out = true;
            last_finished.raise();
        } else if (i > 16 && i < 32 && !elsewhere) {
            // Slow until the other worker has taken part of the piece: 15
            // points of 20 ms leave it 0.3 s to run out of work.
            std::this_thread::sleep_for(20ms);
        }
        return 0.0;
    });
    ASSERT_FALSE(timed_out);
    EXPECT_TRUE(elsewhere);
}

// Points 5 and 9 fail. Whatever the worker count and whichever failure
// happens first in time, the failure of point 5 is the one reported.
TEST(ParallelPool, LowestFailingIndexIsReportedForEveryWorkerCount) {
    for (const std::size_t workers : {1u, 2u, 3u, 4u, 7u, 8u}) {
        Pool pool(workers);
        for (int repeat = 0; repeat < 100; ++repeat) {
            const bool five_late = repeat % 2 == 1;
            std::string message = "<no failure>";
            try {
                map_indices_on<double>(pool, repeat % 4 == 0 ? 16 : 61, [&](std::size_t i) {
                    if (i == 5) {
                        if (five_late) std::this_thread::sleep_for(100us);
                        throw Failure("point 5");
                    }
                    if (i == 9) throw Failure("point 9");
                    return point_value(i);
                });
            } catch (const Failure& failure) {
                message = failure.message();
            }
            ASSERT_EQ(message, "point 5") << "workers " << workers << " repeat " << repeat;
        }
        // The pool is still usable after the failures.
        const auto out = map_indices_on<double>(pool, 200, point_value);
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_bits(out[i], point_value(i)));
    }
}

// The lower half of the range is slow and the upper half instant, so the
// workers that finish early keep cutting the slow pieces that are being
// evaluated. The failure of the lowest failing point is still the one
// reported, after every started point has finished, whether the other failure
// lies in the same slow half or in the fast one.
TEST(ParallelPool, LowestFailureWinsWhenRunningPiecesAreCut) {
    for (const std::size_t workers : {2u, 3u}) {
        Pool pool(workers);
        for (const std::size_t other : {27u, 40u}) {
            for (int repeat = 0; repeat < 10; ++repeat) {
                std::atomic<int> started{0};
                std::atomic<int> finished{0};
                std::string message = "<no failure>";
                try {
                    map_indices_on<double>(pool, 64, [&](std::size_t i) {
                        ++started;
                        struct Count {
                            std::atomic<int>& n;
                            ~Count() { ++n; }
                        } count{finished};
                        if (i < 32) std::this_thread::sleep_for(200us);
                        if (i == 20) throw Failure("point 20");
                        if (i == other) throw Failure("point " + std::to_string(other));
                        return 0.0;
                    });
                } catch (const Failure& failure) {
                    message = failure.message();
                }
                ASSERT_EQ(message, "point 20") << "workers " << workers << " other " << other;
                EXPECT_EQ(started.load(), finished.load());
            }
        }
        const auto out = map_indices_on<double>(pool, 300, point_value);
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_bits(out[i], point_value(i)));
    }
}

TEST(ParallelPool, FailureArrivesOnlyAfterEveryStartedPointHasFinished) {
    for (const std::size_t workers : {2u, 3u, 7u}) {
        Pool pool(workers);
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
        bool failed = false;
        try {
            map_indices_on<double>(pool, 40, [&](std::size_t i) {
                ++started;
                struct Count {
                    std::atomic<int>& n;
                    ~Count() { ++n; }
                } count{finished};
                if (i == 5) throw Failure("point 5");
                std::this_thread::sleep_for(1ms);
                return 0.0;
            });
        } catch (const Failure&) {
            failed = true;
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(started.load(), finished.load());
        EXPECT_GT(finished.load(), 1);
    }
}

// One worker, 8 points, point 0 fails. The whole range (budget 1) is cut into
// [0, 4) and [4, 8), both with budget 0, so neither is cut again. [0, 4)
// stops at its failing first point; [4, 8), the other half of the pair, is
// still evaluated in full before the failure travels up.
TEST(ParallelPool, FailingPieceStopsButTheOtherHalfFinishes) {
    Pool pool(1);
    std::vector<std::size_t> evaluated;
    std::string message;
    try {
        map_indices_on<double>(pool, 8, [&](std::size_t i) {
            evaluated.push_back(i);
            if (i == 0) throw Failure("point 0");
            return 0.0;
        });
    } catch (const Failure& failure) {
        message = failure.message();
    }
    EXPECT_EQ(message, "point 0");
    EXPECT_EQ(evaluated, (std::vector<std::size_t>{0, 4, 5, 6, 7}));
}

struct Custom {
    int code;
};

TEST(ParallelPool, ExceptionsArriveAsTheTypeThatWasThrown) {
    Pool pool(3);
    EXPECT_THROW(map_indices_on<double>(pool, 30,
                                        [](std::size_t i) -> double {
                                            if (i == 17) throw std::bad_alloc();
                                            return 0.0;
                                        }),
                 std::bad_alloc);
    int code = 0;
    try {
        map_indices_on<double>(pool, 30, [](std::size_t i) -> double {
            if (i % 7 == 3) throw Custom{static_cast<int>(i)};
            return 0.0;
        });
    } catch (const Custom& custom) {
        code = custom.code;
    }
    EXPECT_EQ(code, 3);
    // A failure of the single point evaluated on the calling thread.
    EXPECT_THROW(map_indices_on<double>(pool, 1, [](std::size_t) -> double { throw Custom{1}; }), Custom);
}

TEST(ParallelPool, NestedMapOnAWorkerRunsInPlace) {
    Pool pool(2);
    const auto out = map_indices_on<double>(pool, 8, [&](std::size_t i) {
        const auto inner = map_indices_on<double>(pool, 10, [&](std::size_t k) { return point_value(i * 10 + k); });
        double sum = 0.0;
        for (const double v : inner) sum += v;
        return sum;
    });
    for (std::size_t i = 0; i < 8; ++i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < 10; ++k) sum += point_value(i * 10 + k);
        EXPECT_TRUE(same_bits(out[i], sum));
    }
}

// A stop check for the tests: counts its calls and the threads it ran on,
// and asks to stop from its `stop_at`-th call on (never when 0).
struct StopProbe {
    int stop_at = 0;
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::chrono::steady_clock::time_point stopped_at;

    static bool check(void* context) noexcept {
        auto& probe = *static_cast<StopProbe*>(context);
        {
            std::lock_guard<std::mutex> lock(probe.mutex);
            probe.threads.insert(std::this_thread::get_id());
        }
        const int call = ++probe.calls;
        if (probe.stop_at != 0 && call >= probe.stop_at) {
            probe.stopped_at = std::chrono::steady_clock::now();
            return true;
        }
        return false;
    }
};

// Points that take about a millisecond each, counted as they start and end.
struct SlowPoints {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    double operator()(std::size_t i) {
        ++started;
        std::this_thread::sleep_for(1ms);
        ++finished;
        return point_value(i);
    }
};

// The check runs on the calling thread while it waits; when it asks to stop,
// no further point starts, the started ones finish, and the map throws
// Interrupted soon after (a point lasts 1 ms; the bound is generous for a
// loaded machine). The check is not called again, and the pool stays usable.
TEST(ParallelInterrupt, StopCheckEndsAMapWithInterrupted) {
    for (const std::size_t workers : {1u, 2u, 3u}) {
        Pool pool(workers);
        StopProbe probe;
        probe.stop_at = 2;
        SlowPoints points;
        const std::size_t n = 4000;  // 4 s of points on one worker
        bool interrupted = false;
        std::chrono::steady_clock::time_point ended;
        {
            ostrel::CallScope call(&StopProbe::check, &probe);
            try {
                map_indices_on<double>(pool, n, [&](std::size_t i) { return points(i); });
            } catch (const ostrel::Interrupted&) {
                interrupted = true;
                ended = std::chrono::steady_clock::now();
            }
            EXPECT_TRUE(call.stopped());
        }
        ASSERT_TRUE(interrupted) << "workers " << workers;
        EXPECT_EQ(probe.calls.load(), 2);
        EXPECT_EQ(probe.threads, std::set<std::thread::id>{std::this_thread::get_id()});
        EXPECT_EQ(points.started.load(), points.finished.load());
        EXPECT_LT(points.finished.load(), static_cast<int>(n) / 2);
        EXPECT_LT(ended - probe.stopped_at, 500ms) << "workers " << workers;
        const auto out = map_indices_on<double>(pool, 100, point_value);
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_bits(out[i], point_value(i)));
    }
}

// A point that is long by itself can see that its map was asked to stop and
// give up early; outside a stopped map nothing is stopping.
TEST(ParallelInterrupt, LongPointSeesItsMapStopping) {
    EXPECT_FALSE(ostrel::parallel::map_stopping());
    Pool pool(2);
    StopProbe probe;
    probe.stop_at = 1;
    std::atomic<int> gave_up{0};
    {
        ostrel::CallScope call(&StopProbe::check, &probe);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(map_indices_on<double>(pool, 2,
                                            [&](std::size_t) -> double {
                                                // Without the stop this point would last 20 s.
                                                while (std::chrono::steady_clock::now() - start < 20s) {
                                                    if (ostrel::parallel::map_stopping()) {
                                                        ++gave_up;
                                                        throw ostrel::Interrupted();
                                                    }
                                                    std::this_thread::sleep_for(100us);
                                                }
                                                return 0.0;
                                            }),
                     ostrel::Interrupted);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    EXPECT_EQ(gave_up.load(), 2);
    EXPECT_FALSE(ostrel::parallel::map_stopping());
    // A map that is not stopped: its points never see a stop.
    const auto seen = map_indices_on<double>(pool, 64, [](std::size_t) {
        return ostrel::parallel::map_stopping() ? 1.0 : 0.0;
    });
    for (const double v : seen) EXPECT_EQ(v, 0.0);
}

// A check that never asks to stop is consulted while the map runs and
// changes nothing; without a call scope, or with a scope without a check,
// nothing is consulted.
TEST(ParallelInterrupt, CheckThatNeverStopsChangesNothing) {
    Pool pool(2);
    StopProbe probe;
    SlowPoints points;
    std::vector<double> out;
    {
        ostrel::CallScope call(&StopProbe::check, &probe);
        out = map_indices_on<double>(pool, 200, [&](std::size_t i) { return points(i); });
        EXPECT_FALSE(call.stopped());
    }
    EXPECT_GE(probe.calls.load(), 1);
    ASSERT_EQ(out.size(), 200u);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_bits(out[i], point_value(i)));
    EXPECT_EQ(points.finished.load(), 200);
    {
        ostrel::CallScope call;
        EXPECT_NO_THROW(map_indices_on<double>(pool, 100, [&](std::size_t i) { return points(i); }));
    }
}

// Interruption wins over a failing point: the caller asked for the call to
// end, and the check may have left something for its caller to report.
TEST(ParallelInterrupt, InterruptionWinsOverAFailure) {
    Pool pool(2);
    StopProbe probe;
    probe.stop_at = 1;
    ostrel::CallScope call(&StopProbe::check, &probe);
    SlowPoints points;
    EXPECT_THROW(map_indices_on<double>(pool, 2000,
                                        [&](std::size_t i) {
                                            if (i == 0) throw Failure("point 0");
                                            return points(i);
                                        }),
                 ostrel::Interrupted);
}

// The check may run anything, even a map on the same pool (a signal handler
// can call the kernels): it runs while the interrupted map's workers are busy
// and must not deadlock.
TEST(ParallelInterrupt, CheckMayRunAMapOnTheSamePool) {
    Pool pool(2);
    struct Reentrant {
        Pool* pool;
        std::vector<double> inner;
        static bool check(void* context) noexcept {
            auto& self = *static_cast<Reentrant*>(context);
            if (self.inner.empty()) self.inner = map_indices_on<double>(*self.pool, 50, point_value);
            return true;
        }
    } reentrant{&pool, {}};
    ostrel::CallScope call(&Reentrant::check, &reentrant);
    SlowPoints points;
    EXPECT_THROW(map_indices_on<double>(pool, 2000, [&](std::size_t i) { return points(i); }),
                 ostrel::Interrupted);
    ASSERT_EQ(reentrant.inner.size(), 50u);
    for (std::size_t i = 0; i < 50; ++i) EXPECT_TRUE(same_bits(reentrant.inner[i], point_value(i)));
}

// Idle workers sleep: after the spin that follows a map has run out, the
// pool costs no processor time.
TEST(ParallelPool, IdleWorkersCostNoProcessorTime) {
    Pool pool(3);
    map_indices_on<double>(pool, 1000, point_value);
    std::this_thread::sleep_for(50ms);
    const auto cpu_seconds = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    };
    const double before = cpu_seconds();
    std::this_thread::sleep_for(300ms);
    const double used = cpu_seconds() - before;
    EXPECT_LT(used, 0.02) << "processor seconds used while idle for 0.3 s";
}

void fail_third_start(std::size_t index) {
    if (index == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

const std::string kNotInitialized = "The global thread pool has not been initialized.";

const std::string kStartFailure = kNotInitialized +
                                  ": could not start a worker thread: " +
                                  std::make_error_code(std::errc::resource_unavailable_try_again).message();

TEST(ParallelPool, ThreadStartFailureIsAnInternalFailure) {
    const std::string message = ostrel_test::single_failure_message<Failure>(
        [] { Pool pool(4, fail_third_start); }, "src/parallel/pool.cpp");
    EXPECT_EQ(message, kStartFailure);
}

std::atomic<int> g_start_attempts{0};

// Counts attempts to start a pool (the hook runs before each worker; worker 0
// begins an attempt) and lets none of them succeed.
void count_and_fail_every_start(std::size_t index) {
    if (index == 0) ++g_start_attempts;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

void count_starts(std::size_t index) {
    if (index == 0) ++g_start_attempts;
}

// In a child process (which starts without a pool of its own), with workers
// that cannot start: within one call (a CallScope) the start is tried once;
// maps of 0 and 1 points run on the calling thread and succeed, a map that
// needs workers fails with the pool's message, without trying again. The next
// call tries again; once the workers can start, the pool is created and works.
TEST(ParallelFork, ProcessWidePoolThatCannotStartIsTriedOncePerCall) {
    if (!kForkTestsPossible) GTEST_SKIP() << kNoForkReason;
    ostrel::parallel::worker_count();  // the parent has its pool
    // Only the maps that need workers write a block; the child writes
    // nothing else.
    ostrel_test::StderrCapture capture;
    const int status = exit_status_of_child([] {
        ostrel::parallel::set_global_start_hook_for_testing(count_and_fail_every_start);
        {
            ostrel::CallScope call;
            if (!map_indices<double>(0, point_value).empty()) return 1;
            const auto one = map_indices<double>(1, point_value);
            if (one.size() != 1 || !same_bits(one[0], point_value(0))) return 2;
            for (int repeat = 0; repeat < 2; ++repeat) {
                try {
                    map_indices<double>(20, point_value);
                    return 3;
                } catch (const Failure& failure) {
                    if (failure.message() != kStartFailure) return 4;
                }
            }
            if (map_values<double>(std::vector<double>{2.0}, [](double v) { return v; }).size() != 1 ||
                g_start_attempts != 1) {
                return 5;
            }
        }
        {
            ostrel::CallScope call;
            const auto one = map_indices<double>(1, point_value);
            if (g_start_attempts != 2 || !same_bits(one[0], point_value(0))) return 6;
        }
        // Without a call scope every map tries.
        for (int repeat = 0; repeat < 2; ++repeat) {
            if (map_indices<double>(1, point_value).size() != 1) return 7;
        }
        if (g_start_attempts != 4) return 8;
        ostrel::parallel::set_global_start_hook_for_testing(count_starts);
        const auto out = map_indices<double>(20, point_value);
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (!same_bits(out[i], point_value(i))) return 9;
        }
        map_indices<double>(30, point_value);
        return g_start_attempts == 5 ? 0 : 10;
    });
    const auto err = capture.finish();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(err.other_lines.empty()) << err.text;
    ASSERT_EQ(err.blocks.size(), 2u) << err.text;
    EXPECT_EQ(err.blocks_from("src/parallel/pool.cpp"), 2u) << err.text;
    for (const auto& block : err.blocks) EXPECT_EQ(block.message, kStartFailure);
}

// A cheap map that would run on the calling thread still needs the pool like
// any map of its size: when the workers cannot start it fails the same way.
TEST(ParallelFork, CheapMapFailsLikeAnyMapWhenThePoolCannotStart) {
    if (!kForkTestsPossible) GTEST_SKIP() << kNoForkReason;
    ostrel::parallel::worker_count();
    ostrel_test::StderrCapture capture;
    const int status = exit_status_of_child([] {
        ostrel::parallel::set_global_start_hook_for_testing(count_and_fail_every_start);
        ostrel::CallScope call;
        if (map_indices_cheap<double>(1, 100, point_value).size() != 1) return 1;
        try {
            map_indices_cheap<double>(20, 100, point_value);
            return 2;
        } catch (const Failure& failure) {
            return failure.message() == kStartFailure ? 0 : 3;
        }
    });
    capture.finish();
    EXPECT_EQ(status, 0);
}

// A worker count far beyond the machine is refused before any thread starts:
// each map that needs workers fails at once with a message naming the count,
// maps of one point still run.
TEST(ParallelFork, HugeWorkerCountIsRefusedWithoutStartingThreads) {
    if (!kForkTestsPossible) GTEST_SKIP() << kNoForkReason;
    ostrel::parallel::worker_count();
    ostrel_test::StderrCapture capture;
    const int status = exit_status_of_child([] {
        if (setenv("RAYON_NUM_THREADS", "100000", 1) != 0) return 1;
        ostrel::parallel::set_global_start_hook_for_testing(count_starts);
        const auto start = std::chrono::steady_clock::now();
        for (int repeat = 0; repeat < 3; ++repeat) {
            ostrel::CallScope call;
            if (map_indices<double>(1, point_value).size() != 1) return 2;
            try {
                map_indices<double>(20, point_value);
                return 3;
            } catch (const Failure& failure) {
                const std::string expected =
                    kNotInitialized + ": 100000 worker threads requested (RAYON_NUM_THREADS or "
                                      "RAYON_RS_NUM_CPUS), more than the ";
                if (failure.message().rfind(expected, 0) != 0) return 4;
            }
        }
        if (std::chrono::steady_clock::now() - start > 2s) return 5;
        return g_start_attempts == 0 ? 0 : 6;
    });
    const auto err = capture.finish();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err.blocks.size(), 3u) << err.text;
}

int child_runs_a_map() {
    const auto out = map_indices<double>(500, point_value);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!same_bits(out[i], point_value(i))) return 1;
    }
    return 0;
}

// A child of a process that has used the pool gets a pool of its own; the
// inherited one has no threads and would never finish a map.
TEST(ParallelFork, ChildGetsAFreshPool) {
    if (!kForkTestsPossible) GTEST_SKIP() << kNoForkReason;
    map_indices<double>(100, point_value);
    EXPECT_EQ(exit_status_of_child(child_runs_a_map), 0);
    // And a grandchild, after the child has used its own pool.
    EXPECT_EQ(exit_status_of_child([] {
                  if (child_runs_a_map() != 0) return 1;
                  return exit_status_of_child(child_runs_a_map);
              }),
              0);
    // The parent's pool is unaffected.
    EXPECT_EQ(child_runs_a_map(), 0);
}

// A fork from another thread while a map runs: the child inherits the pool
// in the middle of its work (its mutex possibly held by a worker) and must
// still be able to run maps.
TEST(ParallelFork, ForkDuringAMapInAnotherThread) {
    if (!kForkTestsPossible) GTEST_SKIP() << kNoForkReason;
    Signal map_running;
    std::vector<double> out;
    std::thread mapper([&] {
        out = map_indices<double>(200, [&](std::size_t i) {
            map_running.raise();
            std::this_thread::sleep_for(200us);
            return point_value(i);
        });
    });
    ASSERT_TRUE(map_running.wait());
    const int status = exit_status_of_child(child_runs_a_map);
    mapper.join();
    EXPECT_EQ(status, 0);
    ASSERT_EQ(out.size(), 200u);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_bits(out[i], point_value(i)));
}

TEST(WorkerCount, UnsignedDecimalIntegersOnly) {
    using ostrel::parallel::parse_unsigned_decimal;
    EXPECT_EQ(parse_unsigned_decimal("4"), 4u);
    EXPECT_EQ(parse_unsigned_decimal("0"), 0u);
    EXPECT_EQ(parse_unsigned_decimal("007"), 7u);
    for (const char* text : {"", "abc", "-3", "+4", " 4", "4 ", "4\n", "4.0", "0x10", "1e3",
                             "99999999999999999999999999"}) {
        EXPECT_FALSE(parse_unsigned_decimal(text).has_value()) << '"' << text << '"';
    }
    EXPECT_FALSE(parse_unsigned_decimal(nullptr).has_value());
}

TEST(WorkerCount, EnvironmentRules) {
    using ostrel::parallel::choose_worker_count;
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;
    };
    constexpr std::size_t kDefault = 3;
    const Case cases[] = {
        {nullptr, nullptr, kDefault},
        {"4", nullptr, 4},
        {"4", "2", 4},       // RAYON_NUM_THREADS wins over RAYON_RS_NUM_CPUS
        {"0", nullptr, kDefault},
        {"0", "5", kDefault},  // 0 asks for the default; the other variable is not read
        {"abc", nullptr, kDefault},
        {"abc", "5", 5},     // not an integer: the other variable is read
        {"-3", "5", 5},
        {"+4", nullptr, kDefault},
        {" 4", "6", 6},
        {"4 ", nullptr, kDefault},
        {"", "2", 2},
        {nullptr, "5", 5},
        {nullptr, "0", kDefault},
        {nullptr, "-1", kDefault},
        {nullptr, "x", kDefault},
        {"1", "8", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_worker_count(c.num_threads, c.rs_num_cpus, kDefault), c.expected)
            << (c.num_threads ? c.num_threads : "<unset>") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "<unset>");
    }
}

TEST(WorkerCount, DefaultIsAtLeastOneAndAtMostTheOnlineProcessors) {
    const std::size_t count = ostrel::parallel::default_worker_count();
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_CONF)));
}

TEST(CgroupQuota, ParsesGroupPathsAndMounts) {
    namespace cg = ostrel::parallel::cgroup;
    const std::string v1 =
        "12:pids:/user.slice\n4:cpu,cpuacct:/docker/abc\n3:cpuset:/\n0::/init.scope\n";
    EXPECT_EQ(cg::v1_cpu_path(v1), "/docker/abc");
    EXPECT_EQ(cg::v2_path(v1), "/init.scope");
    EXPECT_EQ(cg::v1_cpu_path("2:cpuacct:/a\n3:cpuset:/b\n"), std::nullopt);  // "cpu" exactly
    EXPECT_EQ(cg::v2_path("0::/\n"), "/");
    EXPECT_EQ(cg::v2_path("4:cpu:/x\n"), std::nullopt);

    const std::string mountinfo =
        "24 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "33 31 0:30 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"
        "32 31 0:29 /docker/abc /sys/fs/cgroup/cpu\\040x rw shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
    const auto v1_mount = cg::find_mount(mountinfo, false);
    ASSERT_TRUE(v1_mount.has_value());
    EXPECT_EQ(v1_mount->root, "/docker/abc");
    EXPECT_EQ(v1_mount->point, "/sys/fs/cgroup/cpu x");
    const auto v2_mount = cg::find_mount(mountinfo, true);
    ASSERT_TRUE(v2_mount.has_value());
    EXPECT_EQ(v2_mount->root, "/");
    EXPECT_EQ(v2_mount->point, "/sys/fs/cgroup/unified");
    EXPECT_FALSE(cg::find_mount("24 1 8:1 / / rw - ext4 /dev/sda1 rw\n", true).has_value());
}

TEST(CgroupQuota, QuotaIsRoundedDownToWholeProcessorsButAtLeastOne) {
    namespace cg = ostrel::parallel::cgroup;
    EXPECT_EQ(cg::quota_from_cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(cg::quota_from_cpu_max("200000 100000\n"), 2u);
    EXPECT_EQ(cg::quota_from_cpu_max("250000 100000"), 2u);
    EXPECT_EQ(cg::quota_from_cpu_max("50000 100000\n"), 1u);
    EXPECT_EQ(cg::quota_from_cpu_max("100000 0\n"), std::nullopt);
    EXPECT_EQ(cg::quota_from_cpu_max(""), std::nullopt);
    EXPECT_EQ(cg::quota_from_cfs("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cg::quota_from_cfs("300000\n", "100000\n"), 3u);
    EXPECT_EQ(cg::quota_from_cfs("150000\n", "100000\n"), 1u);
    EXPECT_EQ(cg::quota_from_cfs("20000\n", "100000\n"), 1u);
    EXPECT_EQ(cg::quota_from_cfs("junk", "100000"), std::nullopt);
}

// The smallest quota on the way from the process's groups up to the mount
// roots counts, over both hierarchies.
TEST(CgroupQuota, SmallestQuotaOfTheHierarchies) {
    namespace cg = ostrel::parallel::cgroup;
    std::map<std::string, std::string> files{
        {"/proc/self/cgroup", "4:cpu,cpuacct:/docker/abc/inner\n0::/app/job\n"},
        {"/proc/self/mountinfo",
         "32 31 0:29 /docker /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n"
         "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
        {"/sys/fs/cgroup/unified/app/job/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/unified/app/cpu.max", "600000 100000\n"},
        {"/sys/fs/cgroup/cpu/abc/inner/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu/abc/inner/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/abc/cpu.cfs_quota_us", "400000\n"},
        {"/sys/fs/cgroup/cpu/abc/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
    };
    const auto read = [&](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    EXPECT_EQ(cg::cpu_quota(read), 4u);
    files["/sys/fs/cgroup/unified/app/cpu.max"] = "150000 100000\n";
    EXPECT_EQ(cg::cpu_quota(read), 1u);
    files["/sys/fs/cgroup/unified/app/cpu.max"] = "max 100000\n";
    files["/sys/fs/cgroup/cpu/abc/cpu.cfs_quota_us"] = "-1\n";
    EXPECT_EQ(cg::cpu_quota(read), std::nullopt);
    // A group outside the mounted part of the tree is not looked up.
    files["/sys/fs/cgroup/cpu/abc/cpu.cfs_quota_us"] = "100000\n";
    files["/proc/self/cgroup"] = "4:cpu:/elsewhere\n";
    EXPECT_EQ(cg::cpu_quota(read), std::nullopt);
}

}  // namespace

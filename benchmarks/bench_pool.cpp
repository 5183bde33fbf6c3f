// Cost of the worker pool: the overhead of one parallel map of n trivial
// points, the hand-off cost when the caller does other work between maps (and
// the processor time the workers spend waiting for the next map), the
// processor time of an idle pool, and the balance of uneven workloads, at 1
// and 2 workers.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DOSTREL_BUILD_BENCHMARKS=ON -DOSTREL_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_pool && build/bench/bench_pool
//
// Every figure is the best of 7 repetitions; each repetition times enough
// maps to take at least 20 ms and reports the time per map.
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "parallel/parallel_map.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using ostrel::parallel::map_indices_on;
using ostrel::parallel::Pool;

volatile double sink = 0.0;

// Seconds per call of `body`, best of 7.
double seconds_per_call(const std::function<void()>& body) {
    double best = 1e300;
    for (int repeat = 0; repeat < 7; ++repeat) {
        long calls = 0;
        const auto start = Clock::now();
        double elapsed = 0.0;
        do {
            body();
            ++calls;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < 0.02);
        best = std::min(best, elapsed / static_cast<double>(calls));
    }
    return best;
}

// About `units` microseconds of arithmetic that depends only on the point.
double busy(std::size_t i, long units) {
    double x = 1.0 + 1e-3 * static_cast<double>(i);
    for (long k = 0; k < units * 60; ++k) x = std::sqrt(x + 1.0);
    return x;
}

// Processor time of the whole process, and of the calling thread, in seconds.
double cpu_seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
double process_cpu_seconds() { return cpu_seconds(CLOCK_PROCESS_CPUTIME_ID); }
double thread_cpu_seconds() { return cpu_seconds(CLOCK_THREAD_CPUTIME_ID); }

// Keeps the calling thread busy for `us` microseconds (the caller's own work
// between two maps, such as converting arguments).
void busy_wait(double us) {
    const auto end = Clock::now() + std::chrono::duration<double, std::micro>(us);
    while (Clock::now() < end) {
    }
}

}  // namespace

int main() {
    Pool one(1);
    Pool two(2);

    std::printf("Overhead of one map of n trivial points (f(i) = 0.5 i), microseconds per map\n");
    std::printf("%10s %12s %12s %12s\n", "n", "serial loop", "1 worker", "2 workers");
    for (const std::size_t n : {2ul, 16ul, 256ul, 4096ul, 65536ul, 1048576ul}) {
        const auto trivial = [](std::size_t i) { return 0.5 * static_cast<double>(i); };
        const double serial = seconds_per_call([&] {
            std::vector<double> out(n);
            for (std::size_t i = 0; i < n; ++i) out[i] = trivial(i);
            sink = out[n - 1];
        });
        const double t1 = seconds_per_call([&] { sink = map_indices_on<double>(one, n, trivial)[n - 1]; });
        const double t2 = seconds_per_call([&] { sink = map_indices_on<double>(two, n, trivial)[n - 1]; });
        std::printf("%10zu %12.2f %12.2f %12.2f\n", n, serial * 1e6, t1 * 1e6, t2 * 1e6);
    }

    std::printf("\nHand-off latency: maps of 2 trivial points, the caller busy for a gap between maps.\n"
                "in = from handing the map in to its first point starting on a worker, out = from\n"
                "its last point ending to the caller running again; worker CPU = processor time of\n"
                "the workers per map (handing over, spinning). Microseconds: median (minimum)\n");
    std::printf("%8s %22s %22s %22s %22s %14s\n", "gap", "1w in", "1w out", "2w in", "2w out", "2w worker CPU");
    for (const double gap : {0.0, 20.0, 100.0, 1000.0}) {
        std::printf("%8.0f", gap);
        for (Pool* pool : {&one, &two}) {
            const int maps = gap >= 1000.0 ? 300 : 2000;
            std::vector<double> in(maps), out(maps);
            const double cpu0 = process_cpu_seconds() - thread_cpu_seconds();
            for (int m = 0; m < maps; ++m) {
                busy_wait(gap);
                std::atomic<Clock::rep> first_start{std::numeric_limits<Clock::rep>::max()};
                std::atomic<Clock::rep> last_end{std::numeric_limits<Clock::rep>::min()};
                const auto handed_in = Clock::now();
                map_indices_on<double>(*pool, 2, [&](std::size_t i) {
                    const auto started = Clock::now().time_since_epoch().count();
                    auto seen = first_start.load();
                    while (started < seen && !first_start.compare_exchange_weak(seen, started)) {
                    }
                    const double v = 0.5 * static_cast<double>(i);
                    const auto ended = Clock::now().time_since_epoch().count();
                    seen = last_end.load();
                    while (ended > seen && !last_end.compare_exchange_weak(seen, ended)) {
                    }
                    return v;
                });
                const auto returned = Clock::now();
                const auto us = [](Clock::rep ticks) {
                    return std::chrono::duration<double, std::micro>(Clock::duration(ticks)).count();
                };
                in[m] = us(first_start.load() - handed_in.time_since_epoch().count());
                out[m] = us(returned.time_since_epoch().count() - last_end.load());
            }
            const double cpu = (process_cpu_seconds() - thread_cpu_seconds() - cpu0) * 1e6 / maps;
            for (auto* v : {&in, &out}) {
                std::sort(v->begin(), v->end());
                std::printf(" %12.2f (%6.2f)", (*v)[v->size() / 2], v->front());
            }
            if (pool == &two) std::printf(" %14.2f", cpu);
        }
        std::printf("\n");
    }

    {
        map_indices_on<double>(two, 1000, [](std::size_t i) { return 0.5 * i; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double cpu0 = process_cpu_seconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("\nIdle pools (1 and 2 workers), processor time over 1 s of idleness: %.1f microseconds\n",
                    (process_cpu_seconds() - cpu0) * 1e6);
    }

    struct Workload {
        const char* name;
        std::size_t n;
        std::function<long(std::size_t)> units;
    };
    const Workload workloads[] = {
        {"uniform, 200 x 20 units", 200, [](std::size_t) { return 20L; }},
        {"heavy last tenth (x50), 200 pts", 200, [](std::size_t i) { return i >= 180 ? 100L : 2L; }},
        {"heavy first tenth (x50), 200 pts", 200, [](std::size_t i) { return i < 20 ? 100L : 2L; }},
        {"linear ramp 0..40 units, 200 pts", 200, [](std::size_t i) { return static_cast<long>(i / 5); }},
        {"one heavy point (i = 3), 64 pts", 64, [](std::size_t i) { return i == 3 ? 400L : 5L; }},
        // The cost by quarter of ic_iso_powlaw_full's frequencies (200 x 128
        // benchmark case): 28, 42, 27 and 4 % of the work.
        {"quarters 28/42/27/4 %, 200 pts", 200,
         [](std::size_t i) { return std::array<long, 4>{28, 42, 27, 4}[i / 50] / 2 + 1; }},
    };
    std::printf("\nUneven workloads (1 unit = 60 square roots), milliseconds per map\n");
    std::printf("%-34s %10s %10s %10s %8s %8s %10s\n", "workload", "serial", "1 worker", "2 workers", "speedup",
                "ideal", "max share");
    for (const Workload& w : workloads) {
        long total = 0, largest = 0;
        for (std::size_t i = 0; i < w.n; ++i) {
            total += w.units(i);
            largest = std::max(largest, w.units(i));
        }
        const auto f = [&](std::size_t i) { return busy(i, w.units(i)); };
        const double serial = seconds_per_call([&] {
            double s = 0.0;
            for (std::size_t i = 0; i < w.n; ++i) s += f(i);
            sink = s;
        });
        const double t1 = seconds_per_call([&] { sink = map_indices_on<double>(one, w.n, f)[0]; });
        const double t2 = seconds_per_call([&] { sink = map_indices_on<double>(two, w.n, f)[0]; });
        // The best two workers can do: half the work, but never less than the
        // largest single point.
        const double ideal = static_cast<double>(total) / std::max(static_cast<double>(total) / 2.0,
                                                                   static_cast<double>(largest));
        // The share of the work units done by the busier of the two workers,
        // averaged over 50 maps: 50 % is perfect balance. Unlike the times it
        // hardly depends on what else the machine is running.
        double share = 0.0;
        for (int repeat = 0; repeat < 50; ++repeat) {
            std::mutex mutex;
            std::map<std::thread::id, long> units;
            map_indices_on<double>(two, w.n, [&](std::size_t i) {
                const double v = f(i);
                std::lock_guard<std::mutex> lock(mutex);
                units[std::this_thread::get_id()] += w.units(i);
                return v;
            });
            long most = 0;
            for (const auto& entry : units) most = std::max(most, entry.second);
            share += static_cast<double>(most) / static_cast<double>(total) / 50.0;
        }
        std::printf("%-34s %10.3f %10.3f %10.3f %8.2f %8.2f %9.1f%%\n", w.name, serial * 1e3, t1 * 1e3,
                    t2 * 1e3, t1 / t2, ideal, share * 100.0);
    }
    return 0;
}

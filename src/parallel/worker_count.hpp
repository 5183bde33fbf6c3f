// How many worker threads the process-wide pool gets.
//
// The count is fixed when the pool is created:
//  1. RAYON_NUM_THREADS holding an unsigned decimal integer greater than 0
//     gives that many workers;
//  2. RAYON_NUM_THREADS holding 0 gives the default count (step 4);
//  3. otherwise (absent, or not an unsigned decimal integer) RAYON_RS_NUM_CPUS
//     is read the same way: a value greater than 0 gives that many workers,
//     anything else the default count;
//  4. the default count is the number of processors available to the process:
//     the processors in its affinity mask (the number of online processors if
//     the mask cannot be read), lowered to the control-group CPU quota where
//     one is set; 1 if no count can be determined.
//
// "Unsigned decimal integer" means one or more ASCII digits and nothing else:
// no sign, no surrounding white space, and a value that fits in std::size_t.
//
// The control-group quota is quota/period rounded down, but never below 1
// (a process limited to half a processor still gets one worker). It is the
// smallest quota found on the way from the process's own control group up to
// the root of the mounted hierarchy, over the cgroup v2 `cpu.max` files and
// the cgroup v1 `cpu.cfs_quota_us` / `cpu.cfs_period_us` files of the `cpu`
// controller. The file parsing is split into pure functions on file contents
// so that it can be checked without a control group of a given shape.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::parallel {

// The value of an environment variable as an unsigned decimal integer, or
// nothing when it is absent (nullptr) or is not one.
std::optional<std::size_t> parse_unsigned_decimal(const char* text);

// Steps 1-3 above, given the two variables' values (nullptr when unset) and
// the default count.
std::size_t choose_worker_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t default_count);

// Step 4 for this process.
std::size_t default_worker_count();

// Steps 1-4 for this process and its environment.
std::size_t configured_worker_count();

namespace cgroup {

// The path of the process's cgroup v2 group (the "0::<path>" line of
// /proc/self/cgroup).
std::optional<std::string> v2_path(std::string_view proc_self_cgroup);

// The path of the process's cgroup v1 group for the `cpu` controller (the
// line "<id>:<controllers>:<path>" whose comma-separated controllers include
// "cpu").
std::optional<std::string> v1_cpu_path(std::string_view proc_self_cgroup);

struct Mount {
    std::string root;   // the group the mount shows at its mount point
    std::string point;  // where it is mounted
};

// The cgroup2 mount (v2 true) or the cgroup v1 mount carrying the `cpu`
// controller (v2 false) from the text of /proc/self/mountinfo.
std::optional<Mount> find_mount(std::string_view mountinfo, bool v2);

// Whole processors allowed by a cgroup v2 `cpu.max` file ("<quota> <period>"
// or "max <period>"): nothing when unlimited or unreadable.
std::optional<std::size_t> quota_from_cpu_max(std::string_view cpu_max);

// Whole processors allowed by the cgroup v1 files `cpu.cfs_quota_us` and
// `cpu.cfs_period_us`: nothing when the quota is -1 (unlimited) or unreadable.
std::optional<std::size_t> quota_from_cfs(std::string_view quota_us, std::string_view period_us);

// Reads a whole file, or nothing if it cannot be read.
using ReadFile = std::function<std::optional<std::string>(const std::string& path)>;

// The smallest quota of the process's control groups, v2 and v1, reading
// /proc/self/cgroup, /proc/self/mountinfo and the group files through `read`.
std::optional<std::size_t> cpu_quota(const ReadFile& read);

}  // namespace cgroup

}  // namespace ostrel::parallel

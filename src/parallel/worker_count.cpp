#include "parallel/worker_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace ostrel::parallel {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> parse_digits(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// Mount points in /proc/self/mountinfo escape space, tab, newline and
// backslash as three octal digits after a backslash.
std::string unescape_octal(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string_view digits = text.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                         (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::optional<std::size_t> whole_processors(std::string_view quota, std::string_view period) {
    const auto q = parse_digits(quota);
    const auto p = parse_digits(period);
    if (!q || !p || *p == 0) return std::nullopt;
    return std::max<std::size_t>(1, *q / *p);
}

std::optional<std::string> read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

// The directories from the process's group up to the mount point, deepest
// first; empty when the group is not inside the mounted part of the tree.
std::vector<std::string> group_directories(const cgroup::Mount& mount, const std::string& group) {
    std::string relative;
    if (mount.root == "/") {
        relative = group;
    } else if (group == mount.root) {
        relative = "";
    } else if (group.size() > mount.root.size() && group.compare(0, mount.root.size(), mount.root) == 0 &&
               group[mount.root.size()] == '/') {
        relative = group.substr(mount.root.size());
    } else {
        return {};
    }
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    std::vector<std::string> directories;
    while (true) {
        directories.push_back(mount.point + relative);
        if (relative.empty()) return directories;
        relative.erase(relative.rfind('/'));
    }
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

std::optional<std::size_t> affinity_count() {
    // The mask may be larger than a cpu_set_t on machines with many processors.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count > 0) return static_cast<std::size_t>(count);
            return std::nullopt;
        }
        CPU_FREE(set);
        if (errno != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_unsigned_decimal(const char* text) {
    if (text == nullptr) return std::nullopt;
    return parse_digits(text);
}

std::size_t choose_worker_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t default_count) {
    if (const auto n = parse_unsigned_decimal(rayon_num_threads)) {
        return *n > 0 ? *n : default_count;
    }
    if (const auto n = parse_unsigned_decimal(rayon_rs_num_cpus); n && *n > 0) return *n;
    return default_count;
}

std::size_t default_worker_count() {
    std::optional<std::size_t> count = affinity_count();
    if (!count) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) count = static_cast<std::size_t>(online);
    }
    if (!count) return 1;
    return smaller(count, cgroup::cpu_quota(read_whole_file)).value_or(1);
}

std::size_t configured_worker_count() {
    return choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               default_worker_count());
}

namespace cgroup {

std::optional<std::string> v2_path(std::string_view proc_self_cgroup) {
    for (const std::string_view line : split(proc_self_cgroup, '\n')) {
        if (line.substr(0, 3) == "0::") return std::string(line.substr(3));
    }
    return std::nullopt;
}

std::optional<std::string> v1_cpu_path(std::string_view proc_self_cgroup) {
    for (const std::string_view line : split(proc_self_cgroup, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        for (const std::string_view controller : split(line.substr(first + 1, second - first - 1), ',')) {
            if (controller == "cpu") return std::string(line.substr(second + 1));
        }
    }
    return std::nullopt;
}

std::optional<Mount> find_mount(std::string_view mountinfo, bool v2) {
    for (const std::string_view line : split(mountinfo, '\n')) {
        // "<id> <parent> <major:minor> <root> <point> <options> [<tags>...] - <type> <source> <super options>"
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto before = split(line.substr(0, dash), ' ');
        const auto after = split(line.substr(dash + 3), ' ');
        if (before.size() < 5 || after.size() < 3) continue;
        if (v2) {
            if (after[0] != "cgroup2") continue;
        } else {
            if (after[0] != "cgroup") continue;
            const auto options = split(after[2], ',');
            if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
        }
        return Mount{unescape_octal(before[3]), unescape_octal(before[4])};
    }
    return std::nullopt;
}

std::optional<std::size_t> quota_from_cpu_max(std::string_view cpu_max) {
    const auto fields = split(trim(cpu_max), ' ');
    if (fields.size() != 2) return std::nullopt;
    return whole_processors(fields[0], fields[1]);
}

std::optional<std::size_t> quota_from_cfs(std::string_view quota_us, std::string_view period_us) {
    return whole_processors(trim(quota_us), trim(period_us));
}

std::optional<std::size_t> cpu_quota(const ReadFile& read) {
    const auto groups = read("/proc/self/cgroup");
    if (!groups) return std::nullopt;
    const auto mounts = read("/proc/self/mountinfo");
    if (!mounts) return std::nullopt;

    std::optional<std::size_t> quota;
    const auto v2_group = v2_path(*groups);
    const auto v2_mount = find_mount(*mounts, true);
    if (v2_group && v2_mount) {
        for (const std::string& dir : group_directories(*v2_mount, *v2_group)) {
            if (const auto text = read(dir + "/cpu.max")) quota = smaller(quota, quota_from_cpu_max(*text));
        }
    }
    const auto v1_group = v1_cpu_path(*groups);
    const auto v1_mount = find_mount(*mounts, false);
    if (v1_group && v1_mount) {
        for (const std::string& dir : group_directories(*v1_mount, *v1_group)) {
            const auto q = read(dir + "/cpu.cfs_quota_us");
            const auto p = read(dir + "/cpu.cfs_period_us");
            if (q && p) quota = smaller(quota, quota_from_cfs(*q, *p));
        }
    }
    return quota;
}

}  // namespace cgroup

}  // namespace ostrel::parallel

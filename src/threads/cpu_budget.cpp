// How many threads the kernels use: the CPUs this process may use, the
// PELORKIT_NUM_THREADS setting, and the one-thread scope of Dask tasks.
#include "pelorkit/thread_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace pelorkit::threads {
namespace {

// More threads than this are never started, whatever the setting says.
constexpr unsigned kMaxThreads = 1024;

// 0 until configured: PELORKIT_NUM_THREADS when it was set to a usable
// value, else 0 (the CPUs decide).
std::atomic<unsigned> configured_threads{0};
// The size decided at first need.
std::atomic<unsigned> decided_size{0};
// The thread's cap inside a TaskScope (0: none).
thread_local unsigned task_cap = 0;

unsigned hardware_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

#if defined(__linux__)

unsigned affinity_cpus() {
    // Masks grow until they hold every CPU the kernel knows of.
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t *set = CPU_ALLOC(cpus);
        if (set == nullptr)
            break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int status = sched_getaffinity(0, bytes, set);
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
        const bool too_small = status != 0 && errno == EINVAL;
        CPU_FREE(set);
        if (status == 0)
            return count > 0 ? static_cast<unsigned>(count) : 1;
        if (!too_small)
            break;
    }
    return hardware_threads();
}

// ceil(quota / period), or 0 for no quota (or none readable).
unsigned quota_cpus(double quota, double period) {
    if (!(quota > 0) || !(period > 0))
        return 0;
    const double cpus = quota / period;
    if (cpus >= kMaxThreads)
        return 0;
    return std::max(1u, static_cast<unsigned>(cpus + 0.999999));
}

// cgroup v2: "max 100000" or "<quota> <period>" in cpu.max.
unsigned v2_quota(const std::string &dir) {
    std::ifstream file(dir + "/cpu.max");
    std::string quota;
    double period = 0;
    if (!(file >> quota >> period) || quota == "max")
        return 0;
    return quota_cpus(std::strtod(quota.c_str(), nullptr), period);
}

// cgroup v1: cpu.cfs_quota_us (-1 for none) over cpu.cfs_period_us.
unsigned v1_quota(const std::string &dir) {
    std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
    std::ifstream period_file(dir + "/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (!(quota_file >> quota) || !(period_file >> period))
        return 0;
    return quota_cpus(quota, period);
}

unsigned tighter(unsigned a, unsigned b) {
    return a == 0 ? b : b == 0 ? a : std::min(a, b);
}

// The cgroup's CPU quota and its parents', as far as they are mounted: the
// tightest one, or 0 for none. In a container the process's own cgroup is
// usually the mount's root, whose files then hold the container's quota.
unsigned cgroup_cpus() {
    std::ifstream listing("/proc/self/cgroup");
    std::string line;
    unsigned cpus = 0;
    while (std::getline(listing, line)) {
        // "<id>:<controllers>:<path>"
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            // v2: the one unified hierarchy.
            for (;;) {
                cpus = tighter(cpus, v2_quota("/sys/fs/cgroup" + path));
                if (path.empty() || path == "/")
                    break;
                path = path.substr(0, path.rfind('/'));
            }
            continue;
        }
        std::stringstream names(controllers);
        std::string name;
        bool has_cpu = false;
        while (std::getline(names, name, ','))
            has_cpu = has_cpu || name == "cpu";
        if (!has_cpu)
            continue;
        for (const char *mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
            const unsigned own = v1_quota(mount + path);
            cpus = tighter(cpus, own != 0 ? own : v1_quota(mount));
        }
    }
    return cpus;
}

unsigned cpus_of_process() {
    return tighter(affinity_cpus(), cgroup_cpus());
}

#elif defined(_WIN32)

unsigned cpus_of_process() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0)
        return hardware_threads();
    unsigned count = 0;
    for (; process != 0; process &= process - 1)
        ++count;
    return count;
}

#else

unsigned cpus_of_process() {
    return hardware_threads();
}

#endif

} // namespace

std::string configure_from_environment() {
    const char *text = std::getenv("PELORKIT_NUM_THREADS");
    configured_threads = 0;
    if (text == nullptr)
        return {};
    std::string value(text);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!value.empty() && blank(value.back()))
        value.pop_back();
    value.erase(0, std::min(value.size(), value.find_first_not_of(" \t\n\r")));
    if (value.empty())
        return {};
    std::uint64_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9' || n > kMaxThreads) {
            n = 0;
            break;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n >= 1 && n <= kMaxThreads) {
        configured_threads = static_cast<unsigned>(n);
        return {};
    }
    return "PELORKIT_NUM_THREADS=" + std::string(text) +
           " is not a whole number of threads from 1 to " + std::to_string(kMaxThreads) +
           "; pelorkit uses " + std::to_string(usable_cpus()) +
           " threads, the CPUs this process may use. Set it to a positive integer, or unset it.";
}

unsigned usable_cpus() {
    return std::min(kMaxThreads, std::max(1u, cpus_of_process()));
}

unsigned pool_size() {
    const unsigned configured = configured_threads.load(std::memory_order_relaxed);
    if (configured != 0)
        return configured;
    unsigned size = decided_size.load(std::memory_order_relaxed);
    if (size == 0) {
        size = usable_cpus();
        decided_size.store(size, std::memory_order_relaxed);
    }
    return size;
}

unsigned thread_budget() {
    const unsigned size = pool_size();
    if (task_cap != 0 && configured_threads.load(std::memory_order_relaxed) == 0)
        return std::min(size, task_cap);
    return size;
}

TaskScope::TaskScope() : saved_(task_cap) {
    task_cap = 1;
}

TaskScope::~TaskScope() {
    task_cap = saved_;
}

} // namespace pelorkit::threads

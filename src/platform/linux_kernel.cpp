#include "platform/linux_kernel.hpp"

#include "platform/proc_parsers.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

namespace perfagent {

namespace {

constexpr std::size_t kInitialBufferBytes = 4096;
constexpr std::size_t kMaxBufferBytes = 1 << 20;

int openReadOnly(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

/// Reads a whole /proc file from offset 0 through a kept descriptor. procfs generates these files in
/// one go, so one read returns all of it unless the buffer is too small; then the buffer grows and
/// the read is repeated.
std::optional<std::string_view> preadWhole(int fd, std::vector<char>& buffer) {
    if (fd < 0) return std::nullopt;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string_view(buffer.data(), static_cast<std::size_t>(n));
        }
        if (buffer.size() >= kMaxBufferBytes) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

/// Reads "<tid>/<leaf>" under the task directory into `buffer`. Fails when the thread is gone (the
/// open or the read fails) or the text does not fit.
template <std::size_t N>
std::optional<std::string_view> readThreadFile(int taskDirFd, ThreadPort tid, std::string_view leaf,
                                               char (&buffer)[N]) {
    char path[64];
    char* end = std::to_chars(path, path + 16, tid).ptr;
    *end++ = '/';
    if (leaf.size() >= static_cast<std::size_t>(path + sizeof path - end)) return std::nullopt;
    end = std::copy(leaf.begin(), leaf.end(), end);
    *end = '\0';

    const int fd = ::openat(taskDirFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    ssize_t n;
    do {
        n = ::read(fd, buffer, N);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0 || static_cast<std::size_t>(n) >= N) return std::nullopt;
    return std::string_view(buffer, static_cast<std::size_t>(n));
}

std::uint32_t saturatingPages(std::uint64_t kb, std::uint64_t pageBytes) {
    constexpr std::uint64_t kMaxPages = std::numeric_limits<std::uint32_t>::max();
    if (kb > std::numeric_limits<std::uint64_t>::max() / 1024) return kMaxPages;
    return static_cast<std::uint32_t>(std::min(kb * 1024 / pageBytes, kMaxPages));
}

std::int64_t boottimeNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

/// CPU time over wall time as thousandths of one CPU, capped at one CPU (the two clocks are read a
/// moment apart, so a fully busy thread can come out a hair above it).
std::int32_t shareOfOneCpu(std::uint64_t cpuNs, std::int64_t wallNs) {
    if (wallNs <= 0) return 0;
    const double share = static_cast<double>(cpuNs) / static_cast<double>(wallNs) * ThreadBasicInfo::kUsageScale;
    return static_cast<std::int32_t>(std::lround(std::min<double>(share, ThreadBasicInfo::kUsageScale)));
}

std::optional<ThreadPort> parseTid(std::string_view name) {
    ThreadPort tid = 0;
    const auto result = std::from_chars(name.data(), name.data() + name.size(), tid);
    if (result.ec != std::errc() || result.ptr != name.data() + name.size()) return std::nullopt;
    return tid;
}

}  // namespace

LinuxKernel::LinuxKernel() {
    const long page = ::sysconf(_SC_PAGESIZE);
    pageBytes_ = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    pageSize_ = static_cast<double>(pageBytes_);
    const long physicalPages = ::sysconf(_SC_PHYS_PAGES);
    physicalMemory_ = physicalPages > 0 ? static_cast<double>(physicalPages) * pageSize_ : 0.0;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    clockTicksPerSecond_ = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;

    statmFd_ = openReadOnly("/proc/self/statm");
    meminfoFd_ = openReadOnly("/proc/meminfo");
    statFd_ = openReadOnly("/proc/stat");
    taskDir_ = ::opendir("/proc/self/task");
    buffer_.resize(kInitialBufferBytes);

    // schedstat gives nanoseconds, but reads "0 0 0" when the kernel keeps no scheduler statistics;
    // the calling thread has certainly run, so a zero here means falling back to stat's clock ticks.
    std::uint64_t ownCpuNs = 0;
    useSchedstat_ = readSchedstat(static_cast<ThreadPort>(::gettid()), ownCpuNs) && ownCpuNs > 0;
}

LinuxKernel::~LinuxKernel() {
    for (const int fd : {statmFd_, meminfoFd_, statFd_}) {
        if (fd >= 0) ::close(fd);
    }
    if (taskDir_) ::closedir(taskDir_);
    for (const OutstandingList& list : outstanding_) delete[] list.address;
}

KernReturn LinuxKernel::taskBasicInfo(TaskBasicInfo& info) {
    const auto text = preadWhole(statmFd_, buffer_);
    if (!text) return kKernFailure;
    const auto pages = parseStatm(*text);
    if (!pages) return kKernFailure;
    info.virtualSize = pages->size * pageBytes_;
    info.residentSize = pages->resident * pageBytes_;
    return kKernSuccess;
}

KernReturn LinuxKernel::hostVmInfo64(VmStatistics64& info) {
    const auto text = preadWhole(meminfoFd_, buffer_);
    if (!text) return kKernFailure;
    const auto kb = parseMeminfo(*text);
    if (!kb) return kKernFailure;
    const std::uint64_t wiredKb = kb->unevictable + kb->sUnreclaim + kb->kernelStack + kb->pageTables;
    info.freeCount = saturatingPages(kb->memFree, pageBytes_);
    info.activeCount = saturatingPages(kb->active, pageBytes_);
    info.inactiveCount = saturatingPages(kb->inactive, pageBytes_);
    info.wireCount = saturatingPages(wiredKb, pageBytes_);
    info.compressorPageCount = saturatingPages(kb->zswap.value_or(0), pageBytes_);
    return kKernSuccess;
}

KernReturn LinuxKernel::hostCpuLoadInfo(HostCpuLoadInfo& info) {
    const auto text = preadWhole(statFd_, buffer_);
    if (!text) return kKernFailure;
    const auto ticks = parseStatCpu(*text);
    if (!ticks) return kKernFailure;
    // Truncating each sum to 32 bits keeps it exact modulo 2^32, which is all a difference needs.
    info.cpuTicks[HostCpuLoadInfo::kUser] = static_cast<std::uint32_t>(ticks->user);
    info.cpuTicks[HostCpuLoadInfo::kSystem] =
        static_cast<std::uint32_t>(ticks->system + ticks->irq + ticks->softirq + ticks->steal);
    // iowait is idle time with I/O pending; their sum is steady even where iowait alone goes back.
    info.cpuTicks[HostCpuLoadInfo::kIdle] = static_cast<std::uint32_t>(ticks->idle + ticks->iowait);
    info.cpuTicks[HostCpuLoadInfo::kNice] = static_cast<std::uint32_t>(ticks->nice);
    return kKernSuccess;
}

KernReturn LinuxKernel::taskThreads(ThreadPort** list, std::uint32_t* count) {
    if (list == nullptr || count == nullptr) return kKernInvalidArgument;
    if (taskDir_ == nullptr) return kKernFailure;

    ::rewinddir(taskDir_);
    listed_.clear();
    errno = 0;
    while (const dirent* entry = ::readdir(taskDir_)) {
        if (const auto tid = parseTid(entry->d_name)) listed_.push_back(*tid);
    }
    if (errno != 0 || listed_.empty()) return kKernFailure;

    auto* ports = new (std::nothrow) ThreadPort[listed_.size()];
    if (ports == nullptr) return kKernFailure;
    std::copy(listed_.begin(), listed_.end(), ports);
    outstanding_.push_back({ports, static_cast<std::uint32_t>(listed_.size())});
    forgetVanishedThreads();

    *list = ports;
    *count = static_cast<std::uint32_t>(listed_.size());
    return kKernSuccess;
}

KernReturn LinuxKernel::vmDeallocate(void* address, std::size_t size) {
    const auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                                 [&](const OutstandingList& l) { return l.address == address; });
    if (it == outstanding_.end() || size != std::size_t{it->count} * sizeof(ThreadPort)) {
        return kKernInvalidArgument;
    }
    delete[] it->address;
    outstanding_.erase(it);
    return kKernSuccess;
}

KernReturn LinuxKernel::threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) {
    std::uint64_t cpuNs = 0;
    std::uint64_t startTicks = 0;
    bool haveStart = false;
    if (useSchedstat_) {
        if (!readSchedstat(thread, cpuNs)) return kKernFailure;
    } else {
        if (!readTaskStat(thread, cpuNs, startTicks)) return kKernFailure;
        haveStart = true;
    }
    const std::int64_t nowNs = boottimeNs();

    const auto it = std::lower_bound(readings_.begin(), readings_.end(), thread,
                                     [](const ThreadReading& r, ThreadPort tid) { return r.tid < tid; });
    const bool known = it != readings_.end() && it->tid == thread;
    std::int32_t usage;
    if (known && cpuNs >= it->cpuNs) {
        usage = shareOfOneCpu(cpuNs - it->cpuNs, nowNs - it->atNs);
    } else {
        // First sight of this thread, or its id now names a newer thread (its CPU time went back):
        // the lifetime average.
        if (!haveStart) {
            std::uint64_t ignored = 0;
            if (!readTaskStat(thread, ignored, startTicks)) return kKernFailure;
        }
        usage = shareOfOneCpu(cpuNs, nowNs - static_cast<std::int64_t>(ticksToNs(startTicks)));
    }
    if (known) {
        it->cpuNs = cpuNs;
        it->atNs = nowNs;
    } else {
        readings_.insert(it, ThreadReading{thread, cpuNs, nowNs});
    }

    info.cpuUsage = usage;
    info.flags = 0;
    return kKernSuccess;
}

bool LinuxKernel::readSchedstat(ThreadPort tid, std::uint64_t& cpuNs) {
    if (taskDir_ == nullptr) return false;
    char buffer[256];
    const auto text = readThreadFile(::dirfd(taskDir_), tid, "schedstat", buffer);
    if (!text) return false;
    const auto runTime = parseSchedstatRunTime(*text);
    if (!runTime) return false;
    cpuNs = *runTime;
    return true;
}

bool LinuxKernel::readTaskStat(ThreadPort tid, std::uint64_t& cpuNs, std::uint64_t& startTicks) {
    if (taskDir_ == nullptr) return false;
    char buffer[4096];
    const auto text = readThreadFile(::dirfd(taskDir_), tid, "stat", buffer);
    if (!text) return false;
    const auto stat = parseTaskStat(*text);
    if (!stat) return false;
    cpuNs = ticksToNs(stat->utime + stat->stime);
    startTicks = stat->startTime;
    return true;
}

std::uint64_t LinuxKernel::ticksToNs(std::uint64_t ticks) const {
    constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
    return ticks / clockTicksPerSecond_ * kNsPerSecond + ticks % clockTicksPerSecond_ * kNsPerSecond / clockTicksPerSecond_;
}

void LinuxKernel::forgetVanishedThreads() {
    sortedTids_.assign(listed_.begin(), listed_.end());
    std::sort(sortedTids_.begin(), sortedTids_.end());
    std::erase_if(readings_, [&](const ThreadReading& r) {
        return !std::binary_search(sortedTids_.begin(), sortedTids_.end(), r.tid);
    });
}

}  // namespace perfagent

#pragma once

#include "platform/kernel.hpp"

#include <dirent.h>

#include <cstdint>
#include <vector>

namespace perfagent {

/// @brief The kernel facade on Linux, read from /proc and sysconf.
///
/// - Page size and physical memory: sysconf, read once when built.
/// - Resident size: /proc/self/statm resident pages × page size.
/// - Page counts, from /proc/meminfo: free = MemFree, active = Active, inactive = Inactive,
///   wired = Unevictable + SUnreclaim + KernelStack + PageTables (memory that cannot be paged out),
///   compressed = Zswap (0 when the kernel has no zswap); each saturates at 2^32 - 1 pages.
/// - Host ticks, from the "cpu " line of /proc/stat: user = user; system = system + irq + softirq +
///   steal; idle = idle + iowait; nice = nice; each kept modulo 2^32, as a 32-bit kernel counter is.
/// - Threads: the ids under /proc/self/task stand in for thread ports.
/// - Thread usage: the thread's CPU time (schedstat run time in ns, or utime + stime from its stat
///   line where schedstat reads zero) as a share of one CPU, in thousandths, over the wall time since
///   this backend last read that thread. A thread read for the first time gets its lifetime average:
///   CPU time over the time since it started (stat start time against CLOCK_BOOTTIME, the clock that
///   start time counts on). Usage is capped at one full CPU; the idle flag is never set. A thread that
///   is gone by the time it is read is a failed query.
///
/// The /proc files that name the whole process are kept open and read with pread from offset 0 into
/// a reused buffer; per-thread files are opened per read. Not thread-safe: the agent calls it from
/// the main thread only. Build it in the process that uses it (its open files name that process).
class LinuxKernel final : public Kernel {
public:
    LinuxKernel();
    ~LinuxKernel() override;
    LinuxKernel(const LinuxKernel&) = delete;
    LinuxKernel& operator=(const LinuxKernel&) = delete;

    double pageSize() const override { return pageSize_; }
    double physicalMemory() const override { return physicalMemory_; }

    KernReturn taskBasicInfo(TaskBasicInfo& info) override;
    KernReturn hostVmInfo64(VmStatistics64& info) override;
    KernReturn hostCpuLoadInfo(HostCpuLoadInfo& info) override;
    KernReturn taskThreads(ThreadPort** list, std::uint32_t* count) override;
    /// Accepts only a list this backend handed out, with its exact size in bytes; anything else is
    /// refused with kKernInvalidArgument and nothing is freed.
    KernReturn vmDeallocate(void* address, std::size_t size) override;
    KernReturn threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) override;

    /// Thread lists handed out and not yet released.
    std::size_t outstandingLists() const { return outstanding_.size(); }
    /// Whether thread CPU time comes from schedstat (ns) rather than from stat (clock ticks).
    bool usesSchedstat() const { return useSchedstat_; }

private:
    struct ThreadReading {
        ThreadPort tid;
        std::uint64_t cpuNs;  ///< CPU time used by the thread at the reading
        std::int64_t atNs;    ///< CLOCK_BOOTTIME of the reading
    };
    struct OutstandingList {
        ThreadPort* address;
        std::uint32_t count;
    };

    bool readTaskStat(ThreadPort tid, std::uint64_t& cpuNs, std::uint64_t& startTicks);
    bool readSchedstat(ThreadPort tid, std::uint64_t& cpuNs);
    std::uint64_t ticksToNs(std::uint64_t ticks) const;
    void forgetVanishedThreads();

    double pageSize_;
    double physicalMemory_;
    std::uint64_t pageBytes_;
    std::uint64_t clockTicksPerSecond_;
    bool useSchedstat_ = false;

    int statmFd_ = -1;
    int meminfoFd_ = -1;
    int statFd_ = -1;
    DIR* taskDir_ = nullptr;

    std::vector<char> buffer_;              ///< reused for the whole-process files
    std::vector<ThreadPort> listed_;        ///< the latest thread listing, kernel order
    std::vector<ThreadPort> sortedTids_;    ///< the same, sorted, for pruning
    std::vector<ThreadReading> readings_;   ///< sorted by tid
    std::vector<OutstandingList> outstanding_;
};

}  // namespace perfagent

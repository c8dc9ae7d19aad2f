#pragma once

#include <cstddef>
#include <cstdint>

namespace perfagent {

/// Kernel result codes, Mach style: 0 is success, anything else a failure.
using KernReturn = int;
inline constexpr KernReturn kKernSuccess = 0;
inline constexpr KernReturn kKernProtectionFailure = 2;  ///< the task exists but may not be read
inline constexpr KernReturn kKernInvalidArgument = 4;
inline constexpr KernReturn kKernFailure = 5;
inline constexpr KernReturn kKernTerminated = 37;  ///< the task's process is not running (any more)

/// A process id as the host numbers it.
using Pid = std::int32_t;

/// @brief Names one process for its whole life: its pid plus its start time (clock ticks after boot),
/// so that a pid the system hands to a newer process is never taken for the old one.
struct ProcessIdentity {
    Pid pid = 0;
    std::uint64_t startTime = 0;
    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

/// Stands in for a task port: the process (or process tree) the task queries read.
using TaskPort = std::uint32_t;
/// The agent's own task (mach_task_self()); always valid, never released.
inline constexpr TaskPort kTaskSelf = 0;

/// Stands in for a thread port: on Linux, a thread id.
using ThreadPort = std::uint32_t;

/// @brief Basic task figures (task_info, MACH_TASK_BASIC_INFO).
struct TaskBasicInfo {
    std::uint64_t virtualSize = 0;
    std::uint64_t residentSize = 0;
};

/// @brief The task's memory footprint (task_info, TASK_VM_INFO): its proportional share of the pages
/// it maps, shared pages divided among their users, so a process tree's footprints add up.
struct TaskVmInfo {
    std::uint64_t physFootprint = 0;
};

/// @brief The page counts of host_statistics64(HOST_VM_INFO64) that the memory probe reads.
struct VmStatistics64 {
    std::uint32_t freeCount = 0;
    std::uint32_t activeCount = 0;
    std::uint32_t inactiveCount = 0;
    std::uint32_t wireCount = 0;
    std::uint32_t compressorPageCount = 0;
};

/// @brief Host CPU tick counters (host_statistics, HOST_CPU_LOAD_INFO), indexed by the CPU states below.
struct HostCpuLoadInfo {
    static constexpr int kUser = 0;
    static constexpr int kSystem = 1;
    static constexpr int kIdle = 2;
    static constexpr int kNice = 3;
    std::uint32_t cpuTicks[4] = {0, 0, 0, 0};
};

/// @brief Per-thread figures (thread_info, THREAD_BASIC_INFO).
struct ThreadBasicInfo {
    static constexpr std::int32_t kUsageScale = 1000;  ///< cpuUsage of one fully busy CPU
    static constexpr std::int32_t kFlagsIdle = 2;      ///< flags bit of an idle thread
    std::int32_t cpuUsage = 0;
    std::int32_t flags = 0;
};

/// @brief The kernel queries the probes make, shaped like the Mach calls they stand in for so that a
/// fake kernel can script readings and failures. Every query returns a result code and fills its
/// record only on success. Task queries answer kKernTerminated once the task's process has exited.
class Kernel {
public:
    virtual ~Kernel() = default;

    /// @brief Bytes per kernel page.
    virtual double pageSize() const = 0;
    /// @brief Bytes of physical memory in the machine.
    virtual double physicalMemory() const = 0;

    /// @brief The task of another process (task_for_pid), with every descendant process as well when
    /// `withDescendants`. kKernTerminated when no running process has this identity,
    /// kKernProtectionFailure when it may not be read. A task handed out goes back with taskRelease.
    virtual KernReturn taskForPid(ProcessIdentity process, bool withDescendants, TaskPort* task) = 0;
    /// @brief Releases a task taskForPid handed out (mach_port_deallocate).
    virtual KernReturn taskRelease(TaskPort task) = 0;

    /// @brief Resident size of the task (summed over its processes).
    virtual KernReturn taskBasicInfo(TaskPort task, TaskBasicInfo& info) = 0;
    /// @brief Memory footprint of the task (summed over its processes).
    virtual KernReturn taskVmInfo(TaskPort task, TaskVmInfo& info) = 0;
    /// @brief System-wide page counts.
    virtual KernReturn hostVmInfo64(VmStatistics64& info) = 0;
    /// @brief System-wide CPU tick counters since boot.
    virtual KernReturn hostCpuLoadInfo(HostCpuLoadInfo& info) = 0;

    /// @brief The task's threads. On success `*list` points at `*count` ports owned by the kernel,
    /// which the caller hands back with vmDeallocate(list, count * sizeof(ThreadPort)).
    virtual KernReturn taskThreads(TaskPort task, ThreadPort** list, std::uint32_t* count) = 0;
    /// @brief Releases memory the kernel handed out (a thread list).
    virtual KernReturn vmDeallocate(void* address, std::size_t size) = 0;
    /// @brief One thread's usage and flags; a thread that no longer exists is a failure.
    virtual KernReturn threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) = 0;
};

}  // namespace perfagent

#pragma once

#include <cstddef>
#include <cstdint>

namespace perfagent {

/// Kernel result codes, Mach style: 0 is success, anything else a failure.
using KernReturn = int;
inline constexpr KernReturn kKernSuccess = 0;
inline constexpr KernReturn kKernFailure = 5;
inline constexpr KernReturn kKernInvalidArgument = 4;

/// Stands in for a thread port: on Linux, a thread id.
using ThreadPort = std::uint32_t;

/// @brief Basic task figures (task_info, MACH_TASK_BASIC_INFO).
struct TaskBasicInfo {
    std::uint64_t virtualSize = 0;
    std::uint64_t residentSize = 0;
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
/// record only on success.
class Kernel {
public:
    virtual ~Kernel() = default;

    /// @brief Bytes per kernel page.
    virtual double pageSize() const = 0;
    /// @brief Bytes of physical memory in the machine.
    virtual double physicalMemory() const = 0;

    /// @brief Resident size of this process.
    virtual KernReturn taskBasicInfo(TaskBasicInfo& info) = 0;
    /// @brief System-wide page counts.
    virtual KernReturn hostVmInfo64(VmStatistics64& info) = 0;
    /// @brief System-wide CPU tick counters since boot.
    virtual KernReturn hostCpuLoadInfo(HostCpuLoadInfo& info) = 0;

    /// @brief This process's threads. On success `*list` points at `*count` ports owned by the kernel,
    /// which the caller hands back with vmDeallocate(list, count * sizeof(ThreadPort)).
    virtual KernReturn taskThreads(ThreadPort** list, std::uint32_t* count) = 0;
    /// @brief Releases memory the kernel handed out (a thread list).
    virtual KernReturn vmDeallocate(void* address, std::size_t size) = 0;
    /// @brief One thread's usage and flags; a thread that no longer exists is a failure.
    virtual KernReturn threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) = 0;
};

}  // namespace perfagent

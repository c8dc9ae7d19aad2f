#pragma once

#include "platform/kernel.hpp"

#include <string>

namespace perfagent {

/// Bytes to megabytes: exactly 2^-20.
inline constexpr double kMegabytesPerByte = 9.5367431640625e-07;

/// @brief (resident bytes of the task, physical memory bytes).
struct AppMemory {
    double resident = 0;
    double total = 0;
};

/// @brief The system's physical memory split, in bytes. `total` is the physical memory size, never a
/// sum of the page counts.
struct SystemMemory {
    double free = 0;
    double active = 0;
    double inactive = 0;
    double wired = 0;
    double compressed = 0;
    double total = 0;
};

/// Used system memory: (active + inactive) + wired, in bytes.
inline double usedMemory(const SystemMemory& m) { return (m.active + m.inactive) + m.wired; }
/// Used system memory as a percentage of the physical memory size.
inline double percentOfSystemMemory(const SystemMemory& m) { return usedMemory(m) / m.total * 100.0; }
/// "(free: 1.0, active: 2.0, inactive: 3.0, wired: 4.0, compressed: 5.0, total: 6.0)"
std::string systemMemoryText(const SystemMemory& m);

/// @brief The memory probe. Page size and physical memory are read once, when it is built.
class Memory {
public:
    explicit Memory(Kernel& kernel);

    /// The task whose memory the probe reads from now on (the agent's own unless told otherwise).
    void setTask(TaskPort task) { task_ = task; }
    /// What the latest query about the task answered (kKernTerminated: its process exited).
    KernReturn lastTaskResult() const { return lastTaskResult_; }

    /// Resident size of the task (0.0 when the query fails) and the physical memory size.
    AppMemory appMemory();
    /// The task's footprint in bytes: its proportional share of the pages it maps (shared pages
    /// divided among their users, so the figures of a process tree add up). 0.0 when the query fails.
    /// Dearer than appMemory: the kernel walks every mapping to count it.
    double appFootprint();
    /// The page counts times the page size; all five are 0.0 when the query fails.
    SystemMemory systemMemory();

private:
    Kernel& kernel_;
    TaskPort task_ = kTaskSelf;
    KernReturn lastTaskResult_ = kKernSuccess;
    double pageSize_;
    double totalMemory_;
};

}  // namespace perfagent

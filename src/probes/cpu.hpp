#pragma once

#include "platform/kernel.hpp"
#include "probes/memory.hpp"

#include <vector>

namespace perfagent {

/// @brief Shares of the host CPU ticks since the previous reading, in percent.
struct SystemCpu {
    double system = 0;
    double user = 0;
    double idle = 0;
    double nice = 0;
};

/// The system CPU figure the samplers record: (system + user) + nice. NaN when the reading is.
inline double systemCpuFigure(const SystemCpu& c) { return (c.system + c.user) + c.nice; }

/// @brief The CPU probe. Reads one task (the agent's own unless told otherwise) and holds the previous
/// host tick reading, shared by every caller of this object; the agent has one per process.
class CPU {
public:
    explicit CPU(Kernel& kernel) : kernel_(kernel) {}

    /// The task whose threads the probe reads from now on.
    void setTask(TaskPort task) { task_ = task; }
    /// What the latest thread listing of the task answered (kKernTerminated: its process exited).
    KernReturn lastTaskResult() const { return lastTaskResult_; }

    /// The task's threads in the kernel's order; empty when the query fails. The kernel's list is
    /// released before returning.
    std::vector<ThreadPort> threadActs();
    /// One record per thread; empty when the list is empty or any single thread query fails.
    std::vector<ThreadBasicInfo> threadBasicInfos();
    /// Percent of one CPU used by the task: the sum over non-idle threads. 0.0 on any failure.
    double appUsage();
    /// (system, user, idle, nice) percent of the host ticks since the previous reading by anyone.
    /// Counters are differenced modulo 2^32 (exact across a wrap). No tick elapsed: four NaN. A failed
    /// host query: four NaN, and the stored reading is kept so the next call measures from it.
    SystemCpu systemUsage();

    const HostCpuLoadInfo& previousLoad() const { return previousLoad_; }

private:
    void listThreads();
    void readThreads();

    Kernel& kernel_;
    TaskPort task_ = kTaskSelf;
    KernReturn lastTaskResult_ = kKernSuccess;
    std::vector<ThreadPort> ports_;        ///< the latest listing, reused by each reading
    std::vector<ThreadBasicInfo> infos_;  ///< the latest thread records, likewise
    HostCpuLoadInfo previousLoad_{};
};

/// @brief The probes the samplers share: one memory probe and one CPU probe with its stored reading,
/// both reading the same task: the agent's own, or a target's once one is followed.
class Probes {
public:
    explicit Probes(Kernel& kernel) : memory(kernel), cpu(kernel), kernel_(kernel) {}
    ~Probes();
    Probes(const Probes&) = delete;
    Probes& operator=(const Probes&) = delete;

    /// Reads `process` (with every descendant when `withDescendants`) from now on. On failure the
    /// probes keep the task they read: kKernTerminated when no such process runs, kKernProtectionFailure
    /// when it may not be read.
    KernReturn follow(ProcessIdentity process, bool withDescendants);
    /// Back to the agent's own process.
    void followSelf();
    /// kKernSuccess while the followed task could be read by the latest app readings; kKernTerminated
    /// once its process has exited (the figures of that reading are not its own), or the failure
    /// of a task query.
    KernReturn taskResult() const;
    /// The kernel the probes query, for probes of another task.
    Kernel& kernel() const { return kernel_; }

    Memory memory;
    CPU cpu;

private:
    void setTask(TaskPort task);

    Kernel& kernel_;
    TaskPort task_ = kTaskSelf;
};

}  // namespace perfagent

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

/// @brief The CPU probe. Holds the previous host tick reading, shared by every caller of this object;
/// the agent has one per process.
class CPU {
public:
    explicit CPU(Kernel& kernel) : kernel_(kernel) {}

    /// This process's threads in the kernel's order; empty when the query fails. The kernel's list is
    /// released before returning.
    std::vector<ThreadPort> threadActs();
    /// One record per thread; empty when the list is empty or any single thread query fails.
    std::vector<ThreadBasicInfo> threadBasicInfos();
    /// Percent of one CPU used by this process: the sum over non-idle threads. 0.0 on any failure.
    double appUsage();
    /// (system, user, idle, nice) percent of the host ticks since the previous reading by anyone.
    /// Counters are differenced modulo 2^32 (exact across a wrap). No tick elapsed: four NaN. A failed
    /// host query: four NaN, and the stored reading is kept so the next call measures from it.
    SystemCpu systemUsage();

    const HostCpuLoadInfo& previousLoad() const { return previousLoad_; }

private:
    Kernel& kernel_;
    HostCpuLoadInfo previousLoad_{};
};

/// @brief The probes the samplers share: one memory probe and one CPU probe with its stored reading.
struct Probes {
    explicit Probes(Kernel& kernel);
    Memory memory;
    CPU cpu;
};

}  // namespace perfagent

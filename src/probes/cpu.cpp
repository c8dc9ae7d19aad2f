#include "probes/cpu.hpp"

#include <limits>

namespace perfagent {

std::vector<ThreadPort> CPU::threadActs() {
    ThreadPort* list = nullptr;
    std::uint32_t count = 0;
    if (kernel_.taskThreads(&list, &count) != kKernSuccess || list == nullptr) return {};
    std::vector<ThreadPort> ports(list, list + count);
    kernel_.vmDeallocate(list, static_cast<std::size_t>(count) * sizeof(ThreadPort));
    return ports;
}

std::vector<ThreadBasicInfo> CPU::threadBasicInfos() {
    const std::vector<ThreadPort> ports = threadActs();
    std::vector<ThreadBasicInfo> infos;
    infos.reserve(ports.size());
    for (const ThreadPort port : ports) {
        ThreadBasicInfo info{};
        // One thread that cannot be read spoils the whole reading: a partial sum would understate.
        if (kernel_.threadBasicInfo(port, info) != kKernSuccess) return {};
        infos.push_back(info);
    }
    return infos;
}

double CPU::appUsage() {
    double total = 0.0;
    for (const ThreadBasicInfo& info : threadBasicInfos()) {
        if ((info.flags & ThreadBasicInfo::kFlagsIdle) == 0) {
            total += static_cast<double>(info.cpuUsage) / static_cast<double>(ThreadBasicInfo::kUsageScale);
        }
    }
    return total * 100.0;
}

SystemCpu CPU::systemUsage() {
    HostCpuLoadInfo load{};
    if (kernel_.hostCpuLoadInfo(load) != kKernSuccess) {
        // No reading: say so, and keep the stored one so the next call covers this interval too.
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan};
    }
    // Unsigned 32-bit differences are exact modulo 2^32, so a counter that wrapped since the
    // stored reading still gives the ticks that elapsed.
    auto delta = [&](int state) {
        return static_cast<double>(static_cast<std::uint32_t>(load.cpuTicks[state] - previousLoad_.cpuTicks[state]));
    };
    const double dU = delta(HostCpuLoadInfo::kUser);
    const double dS = delta(HostCpuLoadInfo::kSystem);
    const double dI = delta(HostCpuLoadInfo::kIdle);
    const double dN = delta(HostCpuLoadInfo::kNice);
    const double total = ((dU + dS) + dN) + dI;
    previousLoad_ = load;
    // No tick elapsed: every share is 0/0, a NaN, which the callers handle.
    return {dS / total * 100.0, dU / total * 100.0, dI / total * 100.0, dN / total * 100.0};
}

Probes::Probes(Kernel& kernel) : memory(kernel), cpu(kernel) {}

}  // namespace perfagent

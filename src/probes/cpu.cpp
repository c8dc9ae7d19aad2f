#include "probes/cpu.hpp"

#include <limits>

namespace perfagent {

std::vector<ThreadPort> CPU::threadActs() {
    listThreads();
    return ports_;
}

std::vector<ThreadBasicInfo> CPU::threadBasicInfos() {
    readThreads();
    return infos_;
}

void CPU::listThreads() {
    ports_.clear();
    ThreadPort* list = nullptr;
    std::uint32_t count = 0;
    lastTaskResult_ = kernel_.taskThreads(task_, &list, &count);
    if (lastTaskResult_ != kKernSuccess || list == nullptr) return;
    ports_.assign(list, list + count);
    kernel_.vmDeallocate(list, static_cast<std::size_t>(count) * sizeof(ThreadPort));
}

void CPU::readThreads() {
    listThreads();
    infos_.clear();
    for (const ThreadPort port : ports_) {
        ThreadBasicInfo info{};
        // One thread that cannot be read spoils the whole reading: a partial sum would understate.
        if (kernel_.threadBasicInfo(port, info) != kKernSuccess) {
            infos_.clear();
            return;
        }
        infos_.push_back(info);
    }
}

double CPU::appUsage() {
    readThreads();
    double total = 0.0;
    for (const ThreadBasicInfo& info : infos_) {
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

Probes::~Probes() { setTask(kTaskSelf); }

KernReturn Probes::follow(ProcessIdentity process, bool withDescendants) {
    TaskPort task = kTaskSelf;
    const KernReturn result = kernel_.taskForPid(process, withDescendants, &task);
    if (result == kKernSuccess) setTask(task);
    return result;
}

void Probes::followSelf() { setTask(kTaskSelf); }

KernReturn Probes::taskResult() const {
    const KernReturn cpuResult = cpu.lastTaskResult();
    return cpuResult != kKernSuccess ? cpuResult : memory.lastTaskResult();
}

void Probes::setTask(TaskPort task) {
    if (task_ != kTaskSelf) kernel_.taskRelease(task_);
    task_ = task;
    memory.setTask(task);
    cpu.setTask(task);
}

}  // namespace perfagent

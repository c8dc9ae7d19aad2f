#include "support/fake_kernel.hpp"

#include <algorithm>

namespace perfagent::testing {

FakeKernel::~FakeKernel() {
    for (const Outstanding& list : outstanding_) delete[] list.address;
}

KernReturn FakeKernel::taskForPid(ProcessIdentity, bool, TaskPort* task) {
    if (taskForPidResult_ != kKernSuccess) return taskForPidResult_;
    *task = nextTask_++;
    liveTasks_.push_back(*task);
    return kKernSuccess;
}

KernReturn FakeKernel::taskRelease(TaskPort task) {
    return std::erase(liveTasks_, task) == 1 ? kKernSuccess : kKernInvalidArgument;
}

KernReturn FakeKernel::taskQuery(TaskPort task) {
    lastTask_ = task;
    if (task == kTaskSelf) return kKernSuccess;
    if (std::find(liveTasks_.begin(), liveTasks_.end(), task) == liveTasks_.end()) return kKernInvalidArgument;
    return task < terminatedBelow_ ? kKernTerminated : kKernSuccess;
}

KernReturn FakeKernel::taskVmInfo(TaskPort task, TaskVmInfo& info) {
    if (const KernReturn result = taskQuery(task); result != kKernSuccess) return result;
    info.physFootprint = footprint_;
    return kKernSuccess;
}

KernReturn FakeKernel::taskBasicInfo(TaskPort task, TaskBasicInfo& info) {
    if (const KernReturn result = taskQuery(task); result != kKernSuccess) return result;
    if (failTask_) return kKernFailure;
    info.residentSize = resident_;
    info.virtualSize = resident_;
    return kKernSuccess;
}

KernReturn FakeKernel::hostVmInfo64(VmStatistics64& info) {
    if (failVm_) return kKernFailure;
    info = vm_;
    return kKernSuccess;
}

void FakeKernel::setCpuLoad(CpuLoad load) {
    cpuQueue_.clear();
    cpuLoad_ = load;
}

KernReturn FakeKernel::hostCpuLoadInfo(HostCpuLoadInfo& info) {
    std::optional<CpuLoad> next = cpuLoad_;
    if (!cpuQueue_.empty()) {
        next = cpuQueue_.front();
        cpuQueue_.pop_front();
        if (next) cpuLoad_ = *next;
    }
    if (!next) return kKernFailure;
    info.cpuTicks[HostCpuLoadInfo::kUser] = next->user;
    info.cpuTicks[HostCpuLoadInfo::kSystem] = next->system;
    info.cpuTicks[HostCpuLoadInfo::kIdle] = next->idle;
    info.cpuTicks[HostCpuLoadInfo::kNice] = next->nice;
    return kKernSuccess;
}

void FakeKernel::setThreads(std::vector<Thread> threads) {
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (threads[i].port == 0) threads[i].port = static_cast<ThreadPort>(0x1000 + 4 * i);
    }
    threads_ = std::move(threads);
}

KernReturn FakeKernel::taskThreads(TaskPort task, ThreadPort** list, std::uint32_t* count) {
    if (const KernReturn result = taskQuery(task); result != kKernSuccess) return result;
    if (failTaskThreads_) return kKernFailure;
    auto* ports = new ThreadPort[threads_.size()];
    std::transform(threads_.begin(), threads_.end(), ports, [](const Thread& t) { return t.port; });
    outstanding_.push_back({ports, threads_.size()});
    *list = ports;
    *count = static_cast<std::uint32_t>(threads_.size());
    return kKernSuccess;
}

KernReturn FakeKernel::vmDeallocate(void* address, std::size_t size) {
    const auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                                 [&](const Outstanding& o) { return o.address == address; });
    if (it == outstanding_.end() || size != it->count * sizeof(ThreadPort)) return kKernInvalidArgument;
    delete[] it->address;
    outstanding_.erase(it);
    return kKernSuccess;
}

KernReturn FakeKernel::threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) {
    ++threadQueries_;
    const auto it = std::find_if(threads_.begin(), threads_.end(), [&](const Thread& t) { return t.port == thread; });
    if (it == threads_.end()) return kKernFailure;
    if (failThreadAt_ && *failThreadAt_ == static_cast<std::size_t>(it - threads_.begin())) return kKernFailure;
    info.cpuUsage = it->cpuUsage;
    info.flags = it->flags;
    return kKernSuccess;
}

}  // namespace perfagent::testing

#pragma once

#include "platform/kernel.hpp"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace perfagent::testing {

/// @brief A kernel whose every reading and failure the test scripts. Host CPU readings come from a queue (an
/// empty entry fails), then the last again; thread lists must come back through vmDeallocate with their size;
/// tasks (numbered from 100) read as the own task until terminate(); lastTask() was named last.
class FakeKernel final : public Kernel {
public:
    /// Usage in thousandths of a CPU, flags, and a port (0: 0x1000 + 4 * its index).
    struct Thread { std::int32_t cpuUsage = 0, flags = 0; ThreadPort port = 0; };
    struct CpuLoad { std::uint32_t user = 0, system = 0, idle = 0, nice = 0; };  ///< ticks in HostCpuLoadInfo's order

    explicit FakeKernel(double pageSize = 16384.0, double physicalMemory = 4294967296.0)
        : pageSize_(pageSize), physicalMemory_(physicalMemory) {}

    void answerTaskForPid(KernReturn result) { taskForPidResult_ = result; }  ///< kKernSuccess: a new task
    void terminate() { terminatedBelow_ = nextTask_; }  ///< the tasks made so far answer kKernTerminated
    TaskPort lastTask() const { return lastTask_; }
    std::size_t liveTasks() const { return liveTasks_.size(); }
    void setResident(std::uint64_t bytes) { resident_ = bytes; }
    void setFootprint(std::uint64_t bytes) { footprint_ = bytes; }
    void setVm(const VmStatistics64& vm) { vm_ = vm; }
    void setCpuLoad(CpuLoad load) { cpuQueue_.clear(); cpuLoad_ = load; }  ///< from now on, dropping the queue
    void pushCpuLoad(CpuLoad load) { cpuQueue_.push_back(load); }
    void pushCpuLoadFailure() { cpuQueue_.push_back(std::nullopt); }
    void setThreads(std::vector<Thread> threads) {
        for (std::size_t i = 0; i < threads.size(); ++i)
            if (threads[i].port == 0) threads[i].port = static_cast<ThreadPort>(0x1000 + 4 * i);
        threads_ = std::move(threads);
    }
    std::size_t outstandingLists() const { return lists_.size(); }
    int threadQueries() const { return threadQueries_; }

    bool failTask = false, failVm = false, failTaskThreads = false;
    std::optional<std::size_t> failThreadQueryAt;  ///< the query of the thread at this index fails

    double pageSize() const override { return pageSize_; }
    double physicalMemory() const override { return physicalMemory_; }
    KernReturn taskForPid(ProcessIdentity, bool, TaskPort* task) override {
        if (taskForPidResult_ == kKernSuccess) liveTasks_.push_back(*task = nextTask_++);
        return taskForPidResult_;
    }
    KernReturn taskRelease(TaskPort task) override {
        return std::erase(liveTasks_, task) == 1 ? kKernSuccess : kKernInvalidArgument;
    }
    KernReturn taskBasicInfo(TaskPort task, TaskBasicInfo& info) override {
        if (const KernReturn result = taskQuery(task, failTask); result != kKernSuccess) return result;
        info.residentSize = info.virtualSize = resident_;
        return kKernSuccess;
    }
    KernReturn taskVmInfo(TaskPort task, TaskVmInfo& info) override {
        if (const KernReturn result = taskQuery(task, false); result != kKernSuccess) return result;
        info.physFootprint = footprint_;
        return kKernSuccess;
    }
    KernReturn hostVmInfo64(VmStatistics64& info) override {
        if (!failVm) info = vm_;
        return failVm ? kKernFailure : kKernSuccess;
    }
    KernReturn hostCpuLoadInfo(HostCpuLoadInfo& info) override {
        const std::optional<CpuLoad> next = cpuQueue_.empty() ? cpuLoad_ : cpuQueue_.front();
        if (!cpuQueue_.empty()) cpuQueue_.pop_front();
        if (!next) return kKernFailure;
        cpuLoad_ = *next;
        info = HostCpuLoadInfo{{cpuLoad_.user, cpuLoad_.system, cpuLoad_.idle, cpuLoad_.nice}};
        return kKernSuccess;
    }
    KernReturn taskThreads(TaskPort task, ThreadPort** list, std::uint32_t* count) override {
        if (const KernReturn result = taskQuery(task, failTaskThreads); result != kKernSuccess) return result;
        auto& [ports, size] = lists_.emplace_back(std::make_unique<ThreadPort[]>(threads_.size()), threads_.size());
        std::ranges::transform(threads_, ports.get(), &Thread::port);
        *list = ports.get();
        *count = static_cast<std::uint32_t>(size);
        return kKernSuccess;
    }
    KernReturn vmDeallocate(void* address, std::size_t bytes) override {
        const auto handedOut = [&](const auto& l) { return l.first.get() == address && bytes == l.second * sizeof(ThreadPort); };
        return std::erase_if(lists_, handedOut) == 1 ? kKernSuccess : kKernInvalidArgument;
    }
    KernReturn threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) override {
        ++threadQueries_;
        const auto it = std::ranges::find(threads_, thread, &Thread::port);
        if (it == threads_.end() || failThreadQueryAt == static_cast<std::size_t>(it - threads_.begin()))
            return kKernFailure;
        info = {.cpuUsage = it->cpuUsage, .flags = it->flags};
        return kKernSuccess;
    }

private:
    KernReturn taskQuery(TaskPort task, bool fail) {
        lastTask_ = task;
        if (task != kTaskSelf && std::ranges::find(liveTasks_, task) == liveTasks_.end()) return kKernInvalidArgument;
        if (task != kTaskSelf && task < terminatedBelow_) return kKernTerminated;
        return fail ? kKernFailure : kKernSuccess;
    }

    double pageSize_, physicalMemory_;
    KernReturn taskForPidResult_ = kKernSuccess;
    TaskPort terminatedBelow_ = 0, lastTask_ = kTaskSelf, nextTask_ = 100;
    std::vector<TaskPort> liveTasks_;
    std::uint64_t resident_ = 0, footprint_ = 0;
    VmStatistics64 vm_{};
    CpuLoad cpuLoad_{};
    std::deque<std::optional<CpuLoad>> cpuQueue_;
    std::vector<Thread> threads_;
    int threadQueries_ = 0;
    std::vector<std::pair<std::unique_ptr<ThreadPort[]>, std::size_t>> lists_;  ///< handed out, not yet back
};

}  // namespace perfagent::testing

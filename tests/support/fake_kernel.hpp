#pragma once

#include "platform/kernel.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace perfagent::testing {

/// @brief A kernel whose every reading and result code the test scripts.
///
///     FakeKernel kernel;                       // 16 KiB pages, 4 GiB of memory
///     kernel.setThreads({{1000, 0}, {500, ThreadBasicInfo::kFlagsIdle}});
///     kernel.pushCpuLoad({100, 50, 800, 0});   // user, system, idle, nice
///     kernel.failThreadQueryAt(1);
///
/// Host CPU readings are served from a queue; when it is empty the last reading served (or set) is
/// served again. Thread lists are allocated per taskThreads call and must come back through
/// vmDeallocate with their exact size (outstandingLists() counts those that did not). A task made by
/// taskForPid (ports from 100 up) reads the same scripted figures as the own task until `terminate()`; every
/// task query records the task it named.
class FakeKernel final : public Kernel {
public:
    /// One thread: its usage in thousandths of a CPU and its flags. Port 0 means "assign one".
    struct Thread {
        std::int32_t cpuUsage = 0;
        std::int32_t flags = 0;
        ThreadPort port = 0;
    };
    /// Ticks in the order user, system, idle, nice (the order of HostCpuLoadInfo).
    struct CpuLoad {
        std::uint32_t user = 0;
        std::uint32_t system = 0;
        std::uint32_t idle = 0;
        std::uint32_t nice = 0;
    };

    explicit FakeKernel(double pageSize = 16384.0, double physicalMemory = 4294967296.0)
        : pageSize_(pageSize), physicalMemory_(physicalMemory) {}
    ~FakeKernel() override;
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    // Tasks.
    /// The next taskForPid answers `result` (kKernSuccess: a new task).
    void answerTaskForPid(KernReturn result) { taskForPidResult_ = result; }
    /// The tasks made so far answer kKernTerminated from now on.
    void terminate() { terminatedBelow_ = nextTask_; }
    /// The task the latest task query named, and the tasks made and not released.
    TaskPort lastTask() const { return lastTask_; }
    std::size_t liveTasks() const { return liveTasks_.size(); }

    // Memory.
    void setResident(std::uint64_t bytes) { resident_ = bytes; }
    void setFootprint(std::uint64_t bytes) { footprint_ = bytes; }
    void failTask(bool fail) { failTask_ = fail; }
    void setVm(const VmStatistics64& vm) { vm_ = vm; }
    void failVm(bool fail) { failVm_ = fail; }

    // Host CPU.
    /// Serves `load` from now on (clears the queue).
    void setCpuLoad(CpuLoad load);
    /// Queues one reading, served by the next host CPU query not yet taken by an earlier one.
    void pushCpuLoad(CpuLoad load) { cpuQueue_.push_back(load); }
    /// Queues one failing host CPU query.
    void pushCpuLoadFailure() { cpuQueue_.push_back(std::nullopt); }

    // Threads.
    /// The process's threads, in the kernel's order. Ports left 0 become 0x1000 + 4 * index.
    void setThreads(std::vector<Thread> threads);
    /// The query of the thread at this list index fails (as if it exited after the listing).
    void failThreadQueryAt(std::size_t index) { failThreadAt_ = index; }
    /// taskThreads fails.
    void failTaskThreads(bool fail) { failTaskThreads_ = fail; }

    // What the code under test did.
    /// Lists handed out and not (correctly) released yet.
    std::size_t outstandingLists() const { return outstanding_.size(); }
    int threadQueries() const { return threadQueries_; }

    double pageSize() const override { return pageSize_; }
    double physicalMemory() const override { return physicalMemory_; }
    KernReturn taskForPid(ProcessIdentity process, bool withDescendants, TaskPort* task) override;
    KernReturn taskRelease(TaskPort task) override;
    KernReturn taskBasicInfo(TaskPort task, TaskBasicInfo& info) override;
    KernReturn taskVmInfo(TaskPort task, TaskVmInfo& info) override;
    KernReturn hostVmInfo64(VmStatistics64& info) override;
    KernReturn hostCpuLoadInfo(HostCpuLoadInfo& info) override;
    KernReturn taskThreads(TaskPort task, ThreadPort** list, std::uint32_t* count) override;
    KernReturn vmDeallocate(void* address, std::size_t size) override;
    KernReturn threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) override;

private:
    struct Outstanding {
        ThreadPort* address;
        std::size_t count;
    };

    /// Records the task a query named; the answer its state calls for.
    KernReturn taskQuery(TaskPort task);

    double pageSize_;
    double physicalMemory_;
    KernReturn taskForPidResult_ = kKernSuccess;
    TaskPort terminatedBelow_ = 0;  ///< tasks numbered below it have exited
    TaskPort lastTask_ = kTaskSelf;
    TaskPort nextTask_ = 100;
    std::vector<TaskPort> liveTasks_;
    std::uint64_t resident_ = 0;
    std::uint64_t footprint_ = 0;
    bool failTask_ = false;
    VmStatistics64 vm_{};
    bool failVm_ = false;

    CpuLoad cpuLoad_{};
    std::deque<std::optional<CpuLoad>> cpuQueue_;

    std::vector<Thread> threads_;
    std::optional<std::size_t> failThreadAt_;
    bool failTaskThreads_ = false;
    int threadQueries_ = 0;

    std::vector<Outstanding> outstanding_;
};

}  // namespace perfagent::testing

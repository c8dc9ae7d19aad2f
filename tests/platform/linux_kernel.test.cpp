#include "platform/linux_kernel.hpp"
#include "platform/proc_fixtures.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

namespace perfagent {
namespace {

using testing::TempDirectory;
using testing::statLine;

const std::uint64_t kTicksPerSecond = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));

/// The threads a task lists, sorted, with the list handed back.
std::vector<ThreadPort> threadsOf(LinuxKernel& kernel, TaskPort task, KernReturn expected = kKernSuccess) {
    ThreadPort* list = nullptr;
    std::uint32_t count = 0;
    EXPECT_EQ(kernel.taskThreads(task, &list, &count), expected);
    if (expected != kKernSuccess) return {};
    std::vector<ThreadPort> out(list, list + count);
    EXPECT_EQ(kernel.vmDeallocate(list, count * sizeof(ThreadPort) - 1), kKernInvalidArgument);
    EXPECT_EQ(kernel.vmDeallocate(list, count * sizeof(ThreadPort)), kKernSuccess);
    EXPECT_EQ(kernel.vmDeallocate(list, count * sizeof(ThreadPort)), kKernInvalidArgument);  // not twice
    std::sort(out.begin(), out.end());
    return out;
}

TEST(LinuxKernel, FoldsHostFiguresExactly) {
    TempDirectory proc;
    proc.write("meminfo", testing::kMeminfo);
    proc.write("stat", testing::kStat);
    proc.write("self/statm", "22652 3476 1709 1 0 4138 0\n");
    LinuxKernel kernel(proc.path());
    const auto pages = [&](std::uint64_t kb) { return static_cast<std::uint32_t>(kb * 1024 / kernel.pageSize()); };

    VmStatistics64 vm;
    ASSERT_EQ(kernel.hostVmInfo64(vm), kKernSuccess);
    // Wired: Unevictable + SUnreclaim + KernelStack + PageTables.
    EXPECT_EQ(std::tuple(vm.freeCount, vm.activeCount, vm.inactiveCount, vm.wireCount, vm.compressorPageCount),
              std::tuple(pages(24489024), pages(31044), pages(30384), pages(16360 + 22756 + 2020 + 1768), pages(752)));

    HostCpuLoadInfo load;
    ASSERT_EQ(kernel.hostCpuLoadInfo(load), kKernSuccess);
    // User; system + irq + softirq + steal; idle + iowait; nice.
    EXPECT_EQ(std::to_array(load.cpuTicks), (std::array<std::uint32_t, 4>{11287, 6001 + 0 + 100 + 7, 89638 + 318, 0}));
    // Counters past 2^32 are kept modulo 2^32, read again through the kept descriptor.
    proc.write("stat", "cpu  4294967301 1 2 3 4 5 6 7 0 0\n");
    ASSERT_EQ(kernel.hostCpuLoadInfo(load), kKernSuccess);
    EXPECT_EQ(load.cpuTicks[HostCpuLoadInfo::kUser], 5u);

    TaskBasicInfo task;
    ASSERT_EQ(kernel.taskBasicInfo(kTaskSelf, task), kKernSuccess);
    EXPECT_EQ(task.residentSize, 3476 * static_cast<std::uint64_t>(kernel.pageSize()));
    proc.write("meminfo", "MemFree: 1 kB\n");
    EXPECT_EQ(kernel.hostVmInfo64(vm), kKernFailure);
}

TEST(LinuxKernel, ThreadSharesSinceTheirPreviousReading) {
    TempDirectory proc;
    // Thread 7 has schedstat; thread 9's reads zero, so its stat ticks count instead.
    proc.write("self/task/7/schedstat", "2000000000 0 1\n");
    proc.write("self/task/7/stat", statLine(7, "main", 'R', 0, 0, 1 * kTicksPerSecond));
    proc.write("self/task/9/schedstat", "0 0 0\n");
    proc.write("self/task/9/stat", statLine(9, "worker", 'S', kTicksPerSecond / 4, kTicksPerSecond / 4, 2 * kTicksPerSecond));
    std::int64_t nowNs = 5'000'000'000;
    LinuxKernel kernel(proc.path(), [&] { return nowNs; });

    ASSERT_EQ(threadsOf(kernel, kTaskSelf), (std::vector<ThreadPort>{7, 9}));
    ThreadBasicInfo info;
    const auto usage = [&](ThreadPort t) { return kernel.threadBasicInfo(t, info) == kKernSuccess ? info.cpuUsage : -1; };
    // First sight: the lifetime average, 2 s of 4 s and 0.5 s of 3 s.
    EXPECT_EQ(std::pair(usage(7), usage(9)), std::pair(500, 167));

    // One second later: 0.25 s and 0.5 s more.
    nowNs += 1'000'000'000;
    proc.write("self/task/7/schedstat", "2250000000 0 2\n");
    proc.write("self/task/9/stat", statLine(9, "worker", 'S', kTicksPerSecond / 2, kTicksPerSecond / 2, 2 * kTicksPerSecond));
    ASSERT_EQ(threadsOf(kernel, kTaskSelf).size(), 2u);
    EXPECT_EQ(std::pair(usage(7), usage(9)), std::pair(250, 500));
    EXPECT_EQ(usage(9), 0);  // no time passed: no share

    // A thread no longer listed is forgotten; one listed but gone before it is read is a failure.
    std::filesystem::remove_all(proc / "self/task/9");
    proc.write("self/task/11/stat", statLine(11, "gone", 'R', 0, 0, 1));
    ASSERT_EQ(threadsOf(kernel, kTaskSelf), (std::vector<ThreadPort>{7, 11}));
    EXPECT_EQ(kernel.threadBasicInfo(9, info), kKernFailure);
    EXPECT_EQ(kernel.threadBasicInfo(11, info), kKernFailure);
}

TEST(LinuxKernel, TargetTaskIsItsProcessOrItsTreeUntilItExits) {
    TempDirectory proc;
    const auto process = [&](int pid, std::vector<int> tids, const char* statm, int pssKb, unsigned start) {
        proc.write(std::to_string(pid) + "/stat", statLine(pid, "app", 'S', 0, 0, start));
        proc.write(std::to_string(pid) + "/statm", statm);
        proc.write(std::to_string(pid) + "/smaps_rollup", "Rss: 1 kB\nPss: " + std::to_string(pssKb) + " kB\n");
        for (const int tid : tids) proc.write(std::to_string(pid) + "/task/" + std::to_string(tid) + "/children", "");
    };
    process(50, {50}, "100 40 0\n", 120, 300);
    process(60, {60, 61}, "100 10 0\n", 30, 400);
    process(70, {70}, "10 5 0\n", 4, 500);
    proc.write("50/task/50/children", "60 ");
    proc.write("60/task/61/children", "70\n");
    LinuxKernel kernel(proc.path());
    const std::uint64_t page = static_cast<std::uint64_t>(kernel.pageSize());

    TaskPort task = 0;
    EXPECT_EQ(kernel.taskForPid({50, 301}, false, &task), kKernTerminated);  // the pid names a newer process
    EXPECT_EQ(kernel.taskForPid({51, 300}, false, &task), kKernTerminated);
    ASSERT_EQ(kernel.taskForPid({50, 300}, false, &task), kKernSuccess);
    TaskPort tree = 0;
    ASSERT_EQ(kernel.taskForPid({50, 300}, true, &tree), kKernSuccess);

    TaskBasicInfo basic;
    TaskVmInfo vm;
    EXPECT_EQ(threadsOf(kernel, task), (std::vector<ThreadPort>{50}));
    ASSERT_EQ(kernel.taskBasicInfo(task, basic), kKernSuccess);
    EXPECT_EQ(basic.residentSize, 40 * page);
    EXPECT_EQ(threadsOf(kernel, tree), (std::vector<ThreadPort>{50, 60, 61, 70}));
    ASSERT_EQ(kernel.taskBasicInfo(tree, basic), kKernSuccess);
    EXPECT_EQ(basic.residentSize, (40 + 10 + 5) * page);
    ASSERT_EQ(kernel.taskVmInfo(tree, vm), kKernSuccess);
    EXPECT_EQ(vm.physFootprint, (120 + 30 + 4) * 1024u);

    // The tree is found afresh: 60 left it (and took 70 along).
    proc.write("50/task/50/children", "");
    EXPECT_EQ(threadsOf(kernel, tree), (std::vector<ThreadPort>{50}));
    ASSERT_EQ(kernel.taskBasicInfo(tree, basic), kKernSuccess);
    EXPECT_EQ(basic.residentSize, 40 * page);

    // The process exits (a zombie not yet reaped): every query of both tasks says so.
    proc.write("50/stat", statLine(50, "app", 'Z', 0, 0, 300));
    for (const TaskPort t : {task, tree}) {
        EXPECT_EQ(kernel.taskBasicInfo(t, basic), kKernTerminated);
        EXPECT_EQ(kernel.taskVmInfo(t, vm), kKernTerminated);
        threadsOf(kernel, t, kKernTerminated);
        EXPECT_EQ(kernel.taskRelease(t), kKernSuccess);
        EXPECT_EQ(kernel.taskRelease(t), kKernInvalidArgument);
    }
    EXPECT_EQ(kernel.taskRelease(kTaskSelf), kKernInvalidArgument);
}

}  // namespace
}  // namespace perfagent

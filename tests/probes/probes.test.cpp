#include "probes/cpu.hpp"
#include "probes/memory.hpp"
#include "support/fake_kernel.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace perfagent {
namespace {

using testing::FakeKernel;
constexpr std::int32_t kIdle = ThreadBasicInfo::kFlagsIdle;

void expectShares(const SystemCpu& c, double user, double system, double idle, double nice) {
    EXPECT_DOUBLE_EQ(c.user, user);
    EXPECT_DOUBLE_EQ(c.system, system);
    EXPECT_DOUBLE_EQ(c.idle, idle);
    EXPECT_DOUBLE_EQ(c.nice, nice);
}

TEST(AppUsage, SumsNonIdleThreadsInPercentOfOneCpuAndGivesEveryListBack) {
    FakeKernel kernel;
    CPU cpu(kernel);
    kernel.setThreads({{0, 0, 0x307}, {0, 0, 0x103}, {0, 0, 0x205}});
    EXPECT_EQ(cpu.threadActs(), (std::vector<ThreadPort>{0x307, 0x103, 0x205}));  // in the kernel's order
    kernel.setThreads({{1000, 0}, {500, kIdle}, {1000, 0}});
    EXPECT_EQ(cpu.appUsage(), 200.0);
    // Flags other than the idle bit do not exclude a thread.
    kernel.setThreads({{250, 1}, {125, 4}, {300, kIdle | 1}});
    EXPECT_EQ(cpu.appUsage(), 37.5);
    kernel.failTaskThreads = true;
    EXPECT_TRUE(cpu.threadActs().empty());
    EXPECT_EQ(cpu.appUsage(), 0.0);
    // One failed thread query drops the whole reading: both readings stop at it.
    kernel.failTaskThreads = false;
    kernel.setThreads({{100, 0}, {200, 0}, {300, 0}, {400, 0}, {500, 0}});
    kernel.failThreadQueryAt = 2;
    const int queries = kernel.threadQueries();
    EXPECT_TRUE(cpu.threadBasicInfos().empty());
    EXPECT_EQ(cpu.appUsage(), 0.0);
    EXPECT_EQ(kernel.threadQueries() - queries, 6);
    EXPECT_EQ(kernel.outstandingLists(), 0u);
}

/// Since boot, then since the latest reading modulo 2^32; no tick or a failed query reads NaN, the next covers the gap.
TEST(SystemUsage, MeasuresSinceTheLatestReadingAndNaNWithoutATick) {
    FakeKernel kernel;
    kernel.pushCpuLoad({.user = 300, .system = 100, .idle = 550, .nice = 50});
    kernel.pushCpuLoad({.user = 330, .system = 110, .idle = 607, .nice = 53});
    kernel.pushCpuLoad({0xFFFFFFF0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0});
    kernel.pushCpuLoad({0x00000010u, 0x0000000Fu, 0x80000027u, 0});  // 32 user, 16 system, 40 idle ticks
    kernel.pushCpuLoad({0x00000010u, 0x0000000Fu, 0x80000027u, 0});
    kernel.pushCpuLoadFailure();
    kernel.pushCpuLoad({0x00000010u + 50, 0x0000000Fu + 10, 0x80000027u + 30, 10});
    CPU cpu(kernel);
    const SystemCpu first = cpu.systemUsage();
    expectShares(first, 30.0, 10.0, 55.0, 5.0);
    EXPECT_DOUBLE_EQ(systemCpuFigure(first), 45.0);
    expectShares(cpu.systemUsage(), 30.0, 10.0, 57.0, 3.0);
    cpu.systemUsage();
    expectShares(cpu.systemUsage(), 32.0 / 88.0 * 100.0, 16.0 / 88.0 * 100.0, 40.0 / 88.0 * 100.0, 0.0);
    for (int i = 0; i < 2; ++i) {  // no tick elapsed, then a failed query
        const SystemCpu c = cpu.systemUsage();
        for (const double share : {c.system, c.user, c.idle, c.nice, systemCpuFigure(c)}) EXPECT_TRUE(std::isnan(share));
    }
    expectShares(cpu.systemUsage(), 50.0, 10.0, 30.0, 10.0);
}

TEST(Probes, FollowATargetUntilItExitsThenTheOwnTaskAgain) {
    FakeKernel kernel;
    kernel.setThreads({{250, 0}});
    kernel.setResident(4096);
    kernel.setFootprint(2048);
    Probes probes(kernel);
    for (const KernReturn refused : {kKernProtectionFailure, kKernTerminated}) {
        kernel.answerTaskForPid(refused);
        EXPECT_EQ(probes.follow({42, 7}, false), refused);
        probes.memory.appMemory();
        EXPECT_EQ(kernel.lastTask(), kTaskSelf);  // still reading its own
    }
    kernel.answerTaskForPid(kKernSuccess);
    ASSERT_EQ(probes.follow({42, 7}, true), kKernSuccess);
    EXPECT_EQ(probes.cpu.appUsage(), 25.0);
    EXPECT_NE(kernel.lastTask(), kTaskSelf);
    EXPECT_EQ(probes.memory.appFootprint(), 2048.0);
    EXPECT_EQ(probes.taskResult(), kKernSuccess);

    kernel.terminate();
    EXPECT_EQ(probes.cpu.appUsage(), 0.0);
    EXPECT_EQ(probes.taskResult(), kKernTerminated);
    EXPECT_EQ(probes.memory.appMemory().resident, 0.0);
    EXPECT_EQ(probes.memory.lastTaskResult(), kKernTerminated);

    probes.followSelf();
    EXPECT_EQ(kernel.liveTasks(), 0u);  // the target's task went back
    EXPECT_EQ(probes.memory.appMemory().resident, 4096.0);
    EXPECT_EQ(probes.cpu.appUsage(), 25.0);
    EXPECT_EQ(probes.taskResult(), kKernSuccess);
}

constexpr double kPage = 16384.0, kTotal = 4294967296.0;

TEST(Memory, PageCountsScaleByPageSizeAndAFailedQueryReadsZero) {
    FakeKernel kernel(kPage, kTotal);
    kernel.setResident(123'456'789);
    kernel.setVm({.freeCount = 1, .activeCount = 2, .inactiveCount = 3, .wireCount = 4, .compressorPageCount = 5});
    Memory memory(kernel);
    const SystemMemory m = memory.systemMemory();
    EXPECT_EQ(systemMemoryText(m), "(free: 16384.0, active: 32768.0, inactive: 49152.0, wired: 65536.0, "
                                   "compressed: 81920.0, total: 4294967296.0)");
    EXPECT_EQ(usedMemory(m), 9 * kPage);  // free and compressed pages are not used memory
    EXPECT_DOUBLE_EQ(percentOfSystemMemory(m), 9 * kPage / kTotal * 100.0);

    // The largest count cannot overflow: the product is formed in double.
    kernel.setVm({.freeCount = 0xFFFFFFFFu, .compressorPageCount = 0xFFFFFFFFu});
    EXPECT_EQ(memory.systemMemory().free, 70368744161280.0);  // (2^32 - 1) * 2^14
    EXPECT_EQ(memory.systemMemory().compressed, 70368744161280.0);

    EXPECT_EQ(memory.appMemory().resident, 123456789.0);
    kernel.failVm = kernel.failTask = true;
    EXPECT_EQ(systemMemoryText(memory.systemMemory()),
              "(free: 0.0, active: 0.0, inactive: 0.0, wired: 0.0, compressed: 0.0, total: 4294967296.0)");
    EXPECT_EQ(memory.appMemory().resident, 0.0);
    EXPECT_EQ(memory.appMemory().total, kTotal);
}

}  // namespace
}  // namespace perfagent

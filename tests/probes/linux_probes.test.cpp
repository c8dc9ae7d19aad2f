// The probes on the real Linux kernel backend.

#include "platform/linux_kernel.hpp"
#include "probes/cpu.hpp"
#include "probes/memory.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace perfagent {
namespace {

void spinFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    volatile unsigned sink = 0;
    while (std::chrono::steady_clock::now() < until) sink = sink + 1;
}

TEST(LinuxProbes, AppMemoryIsThisProcessesResidentSize) {
    LinuxKernel kernel;
    Memory memory(kernel);
    const AppMemory m = memory.appMemory();
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &usage), 0);
    // The kernel's per-CPU page counters are approximate, so the current size can read a little
    // above the peak getrusage reports, but it is the same figure in the same unit.
    const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
    EXPECT_GT(m.resident, 0.5 * peak);
    EXPECT_LT(m.resident, 1.5 * peak);
    struct sysinfo info{};
    ASSERT_EQ(::sysinfo(&info), 0);
    EXPECT_EQ(m.total, static_cast<double>(info.totalram) * info.mem_unit);
    EXPECT_EQ(m.total, kernel.physicalMemory());
}

TEST(LinuxProbes, SystemMemoryIsInBytesAndBoundedByTheTotal) {
    LinuxKernel kernel;
    Memory memory(kernel);
    const SystemMemory m = memory.systemMemory();
    struct sysinfo info{};
    ASSERT_EQ(::sysinfo(&info), 0);
    EXPECT_EQ(m.total, kernel.physicalMemory());
    EXPECT_GT(m.free, 0.0);
    EXPECT_GT(m.wired, 0.0);
    EXPECT_GT(usedMemory(m), 0.0);
    EXPECT_LT(usedMemory(m) + m.free, m.total);
    EXPECT_GE(m.compressed, 0.0);
    // Free memory moves a little between the two reads, but not by a unit's worth.
    EXPECT_NEAR(m.free, static_cast<double>(info.freeram) * info.mem_unit, 0.05 * m.total);
    EXPECT_EQ(std::fmod(m.free, kernel.pageSize()), 0.0);
}

TEST(LinuxProbes, SystemSharesOfABusyIntervalAddUpTo100) {
    LinuxKernel kernel;
    CPU cpu(kernel);
    const SystemCpu sinceBoot = cpu.systemUsage();
    EXPECT_NEAR(sinceBoot.system + sinceBoot.user + sinceBoot.idle + sinceBoot.nice, 100.0, 1e-9);
    spinFor(std::chrono::milliseconds(200));
    const SystemCpu c = cpu.systemUsage();
    EXPECT_NEAR(c.system + c.user + c.idle + c.nice, 100.0, 1e-9);
    EXPECT_GT(c.system + c.user, 0.0);
    for (const double share : {c.system, c.user, c.idle, c.nice}) {
        EXPECT_GE(share, 0.0);
        EXPECT_LE(share, 100.0);
    }
}

TEST(LinuxProbes, AppUsageSeesABusyThread) {
    LinuxKernel kernel;
    CPU cpu(kernel);
    const std::vector<ThreadPort> threads = cpu.threadActs();
    EXPECT_NE(std::find(threads.begin(), threads.end(), static_cast<ThreadPort>(::gettid())), threads.end());

    cpu.appUsage();  // from here on each thread reads its share since this reading
    spinFor(std::chrono::milliseconds(300));
    const double usage = cpu.appUsage();
    EXPECT_GT(usage, 10.0);  // well above zero even when other tests share the CPUs
    EXPECT_LE(usage, 100.0 * static_cast<double>(cpu.threadActs().size()));
    EXPECT_EQ(kernel.outstandingLists(), 0u);
}

}  // namespace
}  // namespace perfagent

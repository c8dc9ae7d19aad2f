#include "probes/cpu.hpp"
#include "probes/memory.hpp"
#include "support/fake_proc.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace perfagent {
namespace {

using testing::FakeProc;

TEST(ProcessMeter, ShareOfOneCpuSinceItsPreviousReadingAndNoneForAnIntervalOfNoLength) {
    std::int64_t nowNs = 0;
    FakeProc proc([&] { return nowNs; });
    proc.appShare = 150.0;  // a CPU and a half
    proc.resident = 4096;
    ProcessMeter meter(proc.open({42, 7}, false).value());
    EXPECT_TRUE(std::isnan(meter.read().value().cpu));  // a first reading
    nowNs = 2'000'000'000;
    const auto figures = meter.read().value();
    EXPECT_EQ(std::pair(figures.cpu, figures.resident), std::pair(150.0, 4096.0));
    EXPECT_TRUE(std::isnan(meter.read().value().cpu));  // no time passed
    proc.failProcess = true;
    EXPECT_EQ(meter.read().error().code, std::errc::io_error);
    proc.terminate();
    EXPECT_EQ(meter.read().error().code, std::errc::no_such_process);
}

/// A first interval starts at the agent's newest reading at least half a second old, else at boot.
TEST(Probes, AFirstIntervalStartsAtTheAgentsNewestReadingHalfASecondOld) {
    std::int64_t nowNs = 0;
    FakeProc proc([&] { return nowNs; });
    proc.setTicks({10, 0, 0, 0});
    Probes probes(proc);  // reads at 0 s
    const auto at = [&](double seconds, std::uint64_t user) {
        nowNs = std::llround(seconds * 1e9);
        proc.setTicks({user, 0, 0, 0});
        probes.readSystem();
    };
    EXPECT_EQ(probes.baselineFor(400'000'000).user, 0u);  // 0.4 s: none old enough
    EXPECT_EQ(probes.baselineFor(500'000'000).user, 10u);
    at(1.0, 20);
    at(1.2, 30);
    EXPECT_EQ(probes.baselineFor(1'300'000'000).user, 10u);
    EXPECT_EQ(probes.baselineFor(1'500'000'000).user, 20u);  // 1.2 s is too new, 1.0 s is not
    EXPECT_EQ(probes.baselineFor(1'700'000'000).user, 30u);
}

TEST(Memory, MeminfoLinesAsBytesAndAFailedReadingReadsZero) {
    const SystemMemory m = systemMemoryOf(MeminfoKb{.memFree = 16, .active = 32, .inactive = 48, .unevictable = 1,
                                                    .sUnreclaim = 2, .kernelStack = 3, .pageTables = 4, .zswap = 80},
                                          4294967296.0);
    EXPECT_EQ(systemMemoryText(m), "(free: 16384.0, active: 32768.0, inactive: 49152.0, wired: 10240.0, "
                                   "compressed: 81920.0, total: 4294967296.0)");
    EXPECT_EQ(usedMemory(m), (32 + 48 + 10) * 1024.0);  // free and compressed memory are not used memory
    EXPECT_DOUBLE_EQ(percentOfSystemMemory(m), 90 * 1024.0 / 4294967296.0 * 100.0);
    EXPECT_EQ(systemMemoryText(systemMemoryOf(std::nullopt, 1.0)),
              "(free: 0.0, active: 0.0, inactive: 0.0, wired: 0.0, compressed: 0.0, total: 1.0)");
}

}  // namespace
}  // namespace perfagent

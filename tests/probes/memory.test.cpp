#include "probes/memory.hpp"
#include "support/fake_kernel.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

using testing::FakeKernel;

constexpr double kPage = 16384.0;
constexpr double kTotal = 4294967296.0;

TEST(AppMemory, ReadsResidentSizeOrZeroWhenTheQueryFails) {
    FakeKernel kernel(kPage, kTotal);
    kernel.setResident(123'456'789);
    Memory memory(kernel);
    EXPECT_EQ(memory.appMemory().resident, 123456789.0);
    EXPECT_EQ(memory.appMemory().total, kTotal);
    kernel.failTask(true);
    EXPECT_EQ(memory.appMemory().resident, 0.0);
    EXPECT_EQ(memory.appMemory().total, kTotal);
}

TEST(SystemMemory, PageCountsScaleByPageSizeAndTotalIsPhysicalMemory) {
    FakeKernel kernel(kPage, kTotal);
    kernel.setVm({.freeCount = 1, .activeCount = 2, .inactiveCount = 3, .wireCount = 4, .compressorPageCount = 5});
    Memory memory(kernel);
    const SystemMemory m = memory.systemMemory();
    EXPECT_EQ(m.free, 1 * kPage);
    EXPECT_EQ(m.active, 2 * kPage);
    EXPECT_EQ(m.inactive, 3 * kPage);
    EXPECT_EQ(m.wired, 4 * kPage);
    EXPECT_EQ(m.compressed, 5 * kPage);
    // The five page figures add to far less than the physical memory; the total is not their sum.
    EXPECT_EQ(m.total, kTotal);
    EXPECT_EQ(usedMemory(m), 9 * kPage);
    EXPECT_DOUBLE_EQ(percentOfSystemMemory(m), 9 * kPage / kTotal * 100.0);

    // The largest count cannot overflow: the product is formed in double.
    kernel.setVm({.freeCount = 0xFFFFFFFFu, .activeCount = 0, .inactiveCount = 0, .wireCount = 0,
                  .compressorPageCount = 0xFFFFFFFFu});
    EXPECT_EQ(memory.systemMemory().free, 70368744161280.0);  // (2^32 - 1) * 2^14
    EXPECT_EQ(memory.systemMemory().compressed, 70368744161280.0);
}

TEST(SystemMemory, FailedQueryReadsZerosWithTotalUnchanged) {
    FakeKernel kernel(kPage, kTotal);
    kernel.setVm({.freeCount = 1, .activeCount = 2, .inactiveCount = 3, .wireCount = 4, .compressorPageCount = 5});
    kernel.failVm(true);
    Memory memory(kernel);
    const SystemMemory m = memory.systemMemory();
    EXPECT_EQ(m.free, 0.0);
    EXPECT_EQ(m.active, 0.0);
    EXPECT_EQ(m.inactive, 0.0);
    EXPECT_EQ(m.wired, 0.0);
    EXPECT_EQ(m.compressed, 0.0);
    EXPECT_EQ(m.total, kTotal);
    EXPECT_EQ(usedMemory(m), 0.0);
    EXPECT_EQ(percentOfSystemMemory(m), 0.0);
}

TEST(SystemMemory, UsedMemoryLeavesOutFreeAndCompressed) {
    // 64 pages of 16 KiB are exactly one megabyte.
    FakeKernel kernel(kPage, kTotal);
    kernel.setVm({.freeCount = 1000, .activeCount = 16, .inactiveCount = 32, .wireCount = 16,
                  .compressorPageCount = 1000});
    Memory memory(kernel);
    EXPECT_EQ(usedMemory(memory.systemMemory()) * kMegabytesPerByte, 1.0);
}

TEST(SystemMemory, TextNamesEveryElementInOrder) {
    EXPECT_EQ(systemMemoryText({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}),
              "(free: 1.0, active: 2.0, inactive: 3.0, wired: 4.0, compressed: 5.0, total: 6.0)");
    EXPECT_EQ(systemMemoryText({16384.0, 0.0, 1.5, 70368744161280.0, 0.0, 4294967296.0}),
              "(free: 16384.0, active: 0.0, inactive: 1.5, wired: 70368744161280.0, compressed: 0.0, total: 4294967296.0)");
}

}  // namespace
}  // namespace perfagent

#include "probes/memory.hpp"
#include "support/fake_kernel.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

using testing::FakeKernel;

constexpr double kPage = 16384.0;
constexpr double kTotal = 4294967296.0;

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
    EXPECT_EQ(percentOfSystemMemory(memory.systemMemory()), 0.0);
    EXPECT_EQ(memory.appMemory().resident, 0.0);
    EXPECT_EQ(memory.appMemory().total, kTotal);
}

}  // namespace
}  // namespace perfagent

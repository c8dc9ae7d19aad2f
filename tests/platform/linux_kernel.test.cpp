#include "platform/linux_kernel.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace perfagent {
namespace {

struct ListedThreads {
    ThreadPort* list = nullptr;
    std::uint32_t count = 0;
    bool contains(ThreadPort tid) const { return std::find(list, list + count, tid) != list + count; }
};

TEST(LinuxKernel, ListsThreadIdsAndTakesBackOnlyTheExactList) {
    LinuxKernel kernel;
    ListedThreads threads;
    ASSERT_EQ(kernel.taskThreads(&threads.list, &threads.count), kKernSuccess);
    EXPECT_TRUE(threads.contains(static_cast<ThreadPort>(::gettid())));
    EXPECT_TRUE(threads.contains(static_cast<ThreadPort>(::getpid())));
    EXPECT_EQ(kernel.outstandingLists(), 1u);

    const std::size_t bytes = threads.count * sizeof(ThreadPort);
    EXPECT_EQ(kernel.vmDeallocate(threads.list, bytes - sizeof(ThreadPort)), kKernInvalidArgument);
    int other = 0;
    EXPECT_EQ(kernel.vmDeallocate(&other, bytes), kKernInvalidArgument);
    EXPECT_EQ(kernel.outstandingLists(), 1u);
    EXPECT_EQ(kernel.vmDeallocate(threads.list, bytes), kKernSuccess);
    EXPECT_EQ(kernel.outstandingLists(), 0u);
    EXPECT_EQ(kernel.vmDeallocate(threads.list, bytes), kKernInvalidArgument);  // not twice
}

TEST(LinuxKernel, ThreadThatExitedIsAFailedQuery) {
    LinuxKernel kernel;
    std::atomic<ThreadPort> tid{0};
    std::thread([&] { tid = static_cast<ThreadPort>(::gettid()); }).join();
    ThreadBasicInfo info;
    EXPECT_EQ(kernel.threadBasicInfo(tid, info), kKernFailure);
}

}  // namespace
}  // namespace perfagent

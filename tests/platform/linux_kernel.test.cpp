#include "platform/linux_kernel.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

// A parked thread and a spinning one, both running from before the backend first sees them.
class TwoThreads : public ::testing::Test {
protected:
    void SetUp() override {
        parked_ = std::thread([this] {
            parkedTid_ = static_cast<ThreadPort>(::gettid());
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_.load(); });
        });
        spinner_ = std::thread([this] {
            spinnerTid_ = static_cast<ThreadPort>(::gettid());
            while (!stop_) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        parked_.join();
        spinner_.join();
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<ThreadPort> parkedTid_{0};
    std::atomic<ThreadPort> spinnerTid_{0};
    std::thread parked_;
    std::thread spinner_;
};

TEST_F(TwoThreads, UsageIsAShareOfOneCpuInThousandths) {
    LinuxKernel kernel;
    ThreadBasicInfo parked;
    ThreadBasicInfo spinner;
    // First sight: the lifetime average. Then: the share since that reading.
    for (int reading = 0; reading < 2; ++reading) {
        ASSERT_EQ(kernel.threadBasicInfo(parkedTid_, parked), kKernSuccess);
        ASSERT_EQ(kernel.threadBasicInfo(spinnerTid_, spinner), kKernSuccess);
        EXPECT_LT(parked.cpuUsage, 50) << "reading " << reading;
        // The spinner is busy all the time it gets a CPU; on a machine loaded by other tests (CI runs two
        // at once on two cores, some under sanitizers) that can be far less than all of one.
        EXPECT_GT(spinner.cpuUsage, 100) << "reading " << reading;
        EXPECT_GT(spinner.cpuUsage, parked.cpuUsage + 50) << "reading " << reading;
        EXPECT_LE(spinner.cpuUsage, ThreadBasicInfo::kUsageScale);
        EXPECT_EQ(spinner.flags, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace
}  // namespace perfagent

#include "server/ingest_queue.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

namespace perfagent {
namespace {

TEST(IngestQueue, RunsStoreWorkInOrderRefusesWhenFullAndOutlivesFailures) {
    testing::TempDirectory dir;
    std::vector<std::string> errors;  // written on the worker, read after it stopped
    std::vector<int> order;
    std::promise<void> release, blocked;
    {
        IngestQueue queue(openSqliteRunStore((dir / "runs.sqlite3").string()), {.jobs = 3, .bytes = 100},
                          [&](const std::string& message) { errors.push_back(message); });
        const auto caller = std::this_thread::get_id();
        ASSERT_TRUE(queue.tryPush([&](RunStore&) {
            EXPECT_NE(std::this_thread::get_id(), caller);
            blocked.set_value();
            release.get_future().wait();  // a slow database
        }));
        blocked.get_future().wait();
        EXPECT_TRUE(queue.tryPush([&](RunStore&) { throw std::runtime_error("database gone"); }, 60));
        EXPECT_FALSE(queue.tryPush([&](RunStore&) { order.push_back(0); }, 41));  // over the bytes
        EXPECT_TRUE(queue.tryPush([&](RunStore& store) {
            IncomingReport report;
            report.series = {"CPU"}, report.numbers = {1}, report.values = {1};
            order.push_back(store.ingest("10.0.0.7", report, 0).runId > 0 ? 1 : -1);
        }));
        EXPECT_TRUE(queue.tryPush([&](RunStore& store) { order.push_back(store.listRuns({}).size() == 1 ? 2 : -2); }));
        EXPECT_FALSE(queue.tryPush([&](RunStore&) { order.push_back(0); }));  // over the jobs
        EXPECT_EQ(queue.pending(), 4u);
        release.set_value();
    }  // the destructor runs what is queued
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(errors, (std::vector<std::string>{"database gone"}));
}

}  // namespace
}  // namespace perfagent

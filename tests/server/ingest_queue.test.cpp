#include "server/ingest_queue.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace perfagent {
namespace {

/// What the queue told the requesters and the log; written on the worker, read after it stopped.
struct Record {
    std::mutex mutex;
    std::vector<std::string> events;
    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    IngestJob job(std::string name, std::function<void(RunStore&)> run, bool write = false, std::size_t bytes = 0) {
        return {.run = [this, name, run](RunStore& store) {
                    run(store);
                    add(name);
                },
                .refuse = [this, name](unsigned status, std::string_view) { add(name + " " + std::to_string(status)); },
                .write = write, .bytes = bytes};
    }
};

TEST(IngestQueue, RunsStoreWorkInOrderRefusesWhenFullAndOutlivesFailures) {
    testing::TempDirectory dir;
    Record record;
    std::promise<void> release, blocked;
    {
        IngestQueue queue(openSqliteRunStore((dir / "runs.sqlite3").string()), {.jobs = 3, .bytes = 100},
                          [&](std::string_view, const std::string& line) { record.add(line); });
        const auto caller = std::this_thread::get_id();
        ASSERT_EQ(queue.tryPush(record.job("slow", [&](RunStore&) {
                      EXPECT_NE(std::this_thread::get_id(), caller);
                      blocked.set_value();
                      release.get_future().wait();  // a slow database
                  })),
                  IngestQueue::Push::Queued);
        blocked.get_future().wait();
        EXPECT_EQ(queue.tryPush(record.job("bad", [](RunStore&) { throw std::runtime_error("constraint"); }, true, 60)),
                  IngestQueue::Push::Queued);
        EXPECT_EQ(queue.tryPush(record.job("x", [](RunStore&) {}, true, 41)), IngestQueue::Push::Full);  // bytes
        EXPECT_EQ(queue.tryPush(record.job("ingest", [&](RunStore& store) {
                      IncomingReport report;
                      report.series = {"CPU"}, report.numbers = {1}, report.values = {1};
                      store.ingest("10.0.0.7", report, 0);
                  }, true)),
                  IngestQueue::Push::Queued);
        EXPECT_EQ(queue.tryPush(record.job("list", [&](RunStore& store) { ASSERT_EQ(store.listRuns({}).size(), 1u); })),
                  IngestQueue::Push::Queued);
        EXPECT_EQ(queue.tryPush(record.job("x", [](RunStore&) {})), IngestQueue::Push::Full);  // jobs
        EXPECT_EQ(queue.pending(), 4u);
        release.set_value();
    }  // the destructor runs what is queued
    EXPECT_EQ(record.events, (std::vector<std::string>{"slow", "store error: constraint", "bad 500", "ingest", "list"}));
}

TEST(IngestQueue, KeepsWritesWhileTheStoreIsUnavailableAndTriesThemAgainInOrder) {
    testing::TempDirectory dir;
    Record record;
    std::promise<void> release, blocked;
    std::atomic<int> attempts{0};
    IngestQueue queue(openSqliteRunStore((dir / "runs.sqlite3").string()),
                      {.firstRetry = std::chrono::milliseconds(5), .maxRetry = std::chrono::milliseconds(20)},
                      [&](std::string_view kind, const std::string&) { record.add(std::string(kind)); });
    // The first write fails three times; the reads and writes queued behind it wait or run as they may.
    queue.tryPush(record.job("a", [&](RunStore&) {
        if (attempts++ == 0) {
            blocked.set_value();
            release.get_future().wait();
        }
        if (attempts <= 3) throw StoreUnavailable("disk full");
    }, true, 10));
    blocked.get_future().wait();
    queue.tryPush(record.job("b", [](RunStore&) {}, true, 10));
    queue.tryPush(record.job("read", [&](RunStore&) {
        // Runs while the store is unavailable: new writes are refused meanwhile.
        EXPECT_EQ(queue.tryPush(record.job("c", [](RunStore&) {}, true)), IngestQueue::Push::Unavailable);
    }));
    release.set_value();
    for (int i = 0; i < 500 && queue.pending() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(attempts, 4);
    EXPECT_EQ(queue.tryPush(record.job("d", [](RunStore&) { throw StoreUnavailable("gone"); }, true)),
              IngestQueue::Push::Queued);
    queue.stop();  // gives up a write the store never takes, after one more try
    EXPECT_EQ(queue.tryPush(record.job("e", [](RunStore&) {})), IngestQueue::Push::Unavailable);
    EXPECT_EQ(record.events,
              (std::vector<std::string>{"a 503", "b 503", "store unavailable", "read", "a", "store available", "b",
                                        "d 503", "store unavailable", "store unavailable"}));
}

}  // namespace
}  // namespace perfagent

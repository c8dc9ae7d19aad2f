#include "ingest/ingest_queue.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
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
    /// A read records its name when it has run, a write when it is committed.
    IngestJob job(std::string name, std::function<void(RunStore&)> run, bool write = false, std::size_t bytes = 0,
                  std::string key = {}) {
        IngestJob job{.refuse = [this, name](unsigned status, std::string_view) { add(name + " " + std::to_string(status)); },
                      .write = write, .bytes = bytes, .key = std::move(key)};
        if (write) {
            job.run = std::move(run);
            job.stored = [this, name] { add(name); };
        } else {
            job.run = [this, name, run](RunStore& store) {
                run(store);
                add(name);
            };
        }
        return job;
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
              (std::vector<std::string>{"a 503", "b 503", "store unavailable", "read", "a", "b", "store available",
                                        "d 503", "store unavailable", "store unavailable"}));
}

TEST(IngestQueue, CommitsQueuedWritesTogetherAnswersEachAfterTheCommitAndRefusesOnlyAFaultyOne) {
    testing::TempDirectory dir;
    const std::string path = (dir / "runs.sqlite3").string();
    Record record;
    auto watcher = openSqliteRunStore(path);  // another connection: sees what is committed
    {
        IngestQueue queue(openSqliteRunStore(path), {}, [&](std::string_view, const std::string& line) { record.add(line); });
        for (const int faulty : {0, 6}) {
            std::promise<void> release, blocked;
            queue.tryPush(record.job("slow", [&](RunStore&) {
                blocked.set_value();
                release.get_future().wait();
            }));
            blocked.get_future().wait();
            for (int i = faulty + 1; i <= faulty + 3; ++i) {
                const std::string device = "10.0.0." + std::to_string(i);
                IngestJob job = record.job("", [=](RunStore& store) {
                    if (i == faulty + 2 && faulty) throw std::runtime_error("constraint");
                    store.recordDeviceToken(device, "t", 0);
                    IncomingReport report;
                    report.series = {"CPU"}, report.numbers = {1}, report.values = {1};
                    store.ingest(device, report, 0);
                }, true, 0, device);
                job.stored = [&, i] { record.add(std::to_string(i) + " with " + std::to_string(watcher->listRuns({}).size())); };
                queue.tryPush(std::move(job));
            }
            release.set_value();
            for (int wait = 0; wait < 500 && queue.pending() != 0; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // The first three were committed together before any was answered; of the next three, the one at
    // fault is refused, the others stored each on its own.
    EXPECT_EQ(record.events, (std::vector<std::string>{"slow", "1 with 3", "2 with 3", "3 with 3", "slow", "7 with 4",
                                                       "store error: constraint", " 500", "9 with 5"}));
}

TEST(IngestQueue, KeepsEachDevicesWritesInOrderAcrossWorkers) {
    testing::TempDirectory dir;
    Record record;
    {
        std::vector<std::unique_ptr<RunStore>> stores;
        for (int i = 0; i < 3; ++i) stores.push_back(openSqliteRunStore((dir / "runs.sqlite3").string()));
        IngestQueue queue(std::move(stores), {.batch = 4}, [&](std::string_view, const std::string& line) { record.add(line); });
        for (int n = 0; n < 60; ++n) {
            const std::string device = "d" + std::to_string(n % 5);
            while (queue.tryPush(record.job(device + " " + std::to_string(n), [=](RunStore& store) {
                       store.recordDeviceToken(device, std::to_string(n), n);
                   }, true, 0, device)) != IngestQueue::Push::Queued)
                std::this_thread::yield();
        }
    }
    ASSERT_EQ(record.events.size(), 60u);
    std::map<std::string, int> last;
    for (const std::string& event : record.events) {
        const std::string device = event.substr(0, 2);
        const int n = std::stoi(event.substr(3));
        EXPECT_GT(n, last.contains(device) ? last[device] : -1) << event;
        last[device] = n;
    }
}

}  // namespace
}  // namespace perfagent

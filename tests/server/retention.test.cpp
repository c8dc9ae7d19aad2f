#include "program/retention.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace perfagent {
namespace {

IncomingReport threeSamples() {
    IncomingReport r;
    r.series.assign(kSystemSeries.begin(), kSystemSeries.end());
    for (int n = 1; n <= 3; ++n) {
        r.numbers.push_back(n);
        r.values.insert(r.values.end(), {1.0 * n, 2.0, 3.0, 4.0});
    }
    return r;
}

TEST(Retention, RemovesRunsOlderThanItsDaysAtStartAndSaysWhatItRemoved) {
    testing::TempDirectory dir;
    const std::string path = (dir / "runs.sqlite3").string();
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::int64_t day = 86'400'000;
    auto store = openSqliteRunStore(path);
    int device = 0;
    for (const std::int64_t at : {now - 10 * day, now - 8 * day, now - 6 * day, now - 60'000})
        store->ingest("10.0.0." + std::to_string(++device), threeSamples(), at);

    std::mutex mutex;
    std::vector<std::string> lines;
    {
        // An hour's period: the first pass runs at once, and ending does not wait for the next.
        Retention retention(openSqliteRunStore(path), 7, {.pause = std::chrono::milliseconds(1)}, [&](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
        for (int i = 0; i < 500 && [&] { std::lock_guard lock(mutex); return lines.empty(); }(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "retention: removed 2 runs and 6 samples last reported more than 7 days ago");
    EXPECT_EQ(store->listRuns({}).size(), 2u);
}

}  // namespace
}  // namespace perfagent

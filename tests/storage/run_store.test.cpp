#include "storage/run_store.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>
#include <pqxx/pqxx>

#include <atomic>
#include <cmath>
#include <fstream>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace perfagent {
namespace {

struct SqliteBackend {
    testing::TempDirectory dir;
    std::unique_ptr<RunStore> open() { return openSqliteRunStore((dir / "runs.sqlite3").string()); }
};

/// A fresh database in the cluster that the ctest fixture started; dropped afterwards.
struct PostgresBackend {
    std::string admin, name;
    PostgresBackend() {
        std::getline(std::ifstream(PERFAGENT_BINARY_DIR "/postgres-url"), admin);
        if (admin.empty()) throw std::runtime_error("no postgres-url: run through ctest, whose fixture starts the cluster");
        static std::atomic<int> counter{0};
        name = "runs_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
        exec("CREATE DATABASE " + name);
    }
    ~PostgresBackend() {
        try { exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)"); } catch (const std::exception&) {}
    }
    void exec(const std::string& sql) { pqxx::connection c(admin); pqxx::nontransaction(c).exec(sql); }
    std::unique_ptr<RunStore> open() { return openPostgresRunStore(admin.substr(0, admin.rfind('/') + 1) + name); }
};

/// Report k of a measurement: samples 1..k, values by sample and `seed` (a restart has another), its own summary.
IncomingReport report(int k, RunNames names, double seed = 0) {
    IncomingReport r;
    r.names = std::move(names);
    for (int n = 1; n <= k; ++n) r.samples.push_back({n, {seed + n * 1.25, 4000.5 + n + seed, 900.0 - n, n * 0.1}});
    r.summary.averagecpu = seed + k, r.summary.maxcpu = seed + k * 1.25, r.summary.totalduration = k * 1000.0;
    return r;
}

const RunNames kNames{"login", "SR-1", "home"};

template <typename Backend>
struct RunStoreTest : ::testing::Test {
    Backend backend;
    std::unique_ptr<RunStore> store = backend.open();
    std::int64_t now = 1'765'000'000'000;

    IngestResult ingest(const IncomingReport& r, std::string_view device = "10.0.0.7") {
        return store->ingest(device, r, now += 1000);
    }
    void expectSeries(std::int64_t id, int samples, double seed = 0) {
        const auto run = store->run(id);
        ASSERT_TRUE(run);
        EXPECT_EQ(run->info.samples, samples);
        ASSERT_EQ(run->series.size(), static_cast<std::size_t>(samples));
        const IncomingReport expected = report(samples, {}, seed);
        for (int n = 0; n < samples; ++n) EXPECT_EQ(run->series[n], expected.samples[n].values) << "sample " << n + 1;
    }
};

using Backends = ::testing::Types<SqliteBackend, PostgresBackend>;
struct BackendNames {
    template <typename T>
    static std::string GetName(int) { return std::is_same_v<T, SqliteBackend> ? "Sqlite" : "Postgres"; }
};
TYPED_TEST_SUITE(RunStoreTest, Backends, BackendNames);

TYPED_TEST(RunStoreTest, LaterReportsFillLostOnesAndStaleOrRepeatedOnesChangeNothing) {
    const auto first = this->ingest(report(2, kNames));
    EXPECT_TRUE(first.newRun);
    // Reports 3 to 5 are lost; 6 brings their samples, a repeat of 6 and a late 4 add nothing.
    EXPECT_EQ(this->ingest(report(6, kNames)).storedSamples, 4);
    EXPECT_EQ(this->ingest(report(6, kNames)).storedSamples, 0);
    EXPECT_EQ(this->ingest(report(4, kNames)).runId, first.runId);
    this->expectSeries(first.runId, 6);
    EXPECT_EQ(this->store->run(first.runId)->info.summary.averagecpu, 6);  // not the stale report's

    // A report with a gap (sample 8 missing), then one that holds it: the gap is filled.
    IncomingReport gappy = report(9, kNames);
    gappy.samples.erase(gappy.samples.begin() + 7);
    EXPECT_EQ(this->ingest(gappy).storedSamples, 2);
    EXPECT_TRUE(std::isnan(this->store->run(first.runId)->series[7][0]));
    EXPECT_EQ(this->ingest(report(9, kNames)).storedSamples, 1);
    this->expectSeries(first.runId, 9);

    // The final report repeats the samples with a longer duration: its summary is the run's.
    IncomingReport final = report(9, kNames);
    final.summary.totalduration += 400;
    EXPECT_EQ(this->ingest(final).runId, first.runId);
    EXPECT_EQ(this->store->run(first.runId)->info.summary.totalduration, 9400);
}

TYPED_TEST(RunStoreTest, DerivesRunsFromNamesAndEarlySamples) {
    const RunNames interim{"login", "SR-1", std::nullopt}, overall{}, other{"checkout", "SR-1", "home"};
    struct Case {
        const char* what;
        IncomingReport second;
        bool sameRun;
        RunNames namesAfter;
        IncomingReport first = report(5, kNames);
    };
    const Case cases[] = {
        {"restart with the same names", report(3, kNames, 7), false, kNames},
        {"restart with other names", report(6, other, 7), false, other},
        {"same samples, other names", report(6, other), false, other},
        {"interim report", report(6, interim), true, kNames},
        {"overall final report names its run", report(6, kNames), true, kNames, report(5, overall)},
        {"overall runs apart", report(6, overall, 7), false, overall, report(5, overall)},
    };
    int device = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string address = "10.0.1." + std::to_string(++device);
        const auto first = this->ingest(c.first, address);
        const auto second = this->ingest(c.second, address);
        EXPECT_EQ(second.runId == first.runId, c.sameRun);
        EXPECT_EQ(second.newRun, !c.sameRun);
        EXPECT_EQ(this->store->run(second.runId)->info.names, c.namesAfter);
        // A late report of the first run still finds it, also after the second began.
        EXPECT_EQ(this->ingest(c.first, address).runId, first.runId);
    }
}

TYPED_TEST(RunStoreTest, InterleavedDevicesAndTwoStoresTakingAlternateReportsStoreEachRunWhole) {
    // Two devices, same names, reports interleaved and taken by two stores on one database at once.
    auto other = this->backend.open();
    const auto send = [&](RunStore& store, int parity) {
        for (int k = 1; k <= 40; ++k)
            if (k % 2 == parity) {
                store.ingest("10.0.0.1", report(k, kNames), this->now + k);
                store.ingest("10.0.0.2", report(k, kNames, 3), this->now + k);
            }
    };
    std::thread second([&] { send(*other, 0); });
    send(*this->store, 1);
    second.join();
    const auto runs = this->store->listRuns({});
    ASSERT_EQ(runs.size(), 2u);
    for (const RunInfo& run : runs) {
        SCOPED_TRACE(run.device);
        this->expectSeries(run.id, 40, run.device == "10.0.0.2" ? 3 : 0);
        EXPECT_EQ(run.summary.totalduration, 40'000);
    }
}

TYPED_TEST(RunStoreTest, ListsNewestFirstWithFiltersPagingAndDeviceTokens) {
    this->store->recordDeviceToken("10.0.0.1", "old", this->now);
    this->store->recordDeviceToken("10.0.0.1", "abc123", this->now);
    const auto a = this->ingest(report(3, kNames), "10.0.0.1").runId;
    const auto b = this->ingest(report(2, {"checkout", "SR-2", std::nullopt}), "10.0.0.1").runId;
    const std::int64_t since = this->now + 1000;  // the instant c arrives
    const auto c = this->ingest(report(4, kNames, 5), "10.0.0.2").runId;

    const auto ids = [&](auto set) {
        RunFilter filter;
        set(filter);
        std::vector<std::int64_t> out;
        for (const RunInfo& run : this->store->listRuns(filter)) out.push_back(run.id);
        return out;
    };
    using Ids = std::vector<std::int64_t>;
    EXPECT_EQ(ids([](RunFilter&) {}), (Ids{c, b, a}));
    EXPECT_EQ(ids([](RunFilter& f) { f.usecase = "login"; }), (Ids{c, a}));
    EXPECT_EQ(ids([](RunFilter& f) { f.srnumber = "SR-2"; }), (Ids{b}));
    EXPECT_EQ(ids([](RunFilter& f) { f.device = "10.0.0.1"; }), (Ids{b, a}));
    EXPECT_EQ(ids([&](RunFilter& f) { f.sinceMs = since; }), (Ids{c}));
    EXPECT_EQ(ids([&](RunFilter& f) { f.afterId = c, f.limit = 1; }), (Ids{b}));

    // Reopening applies no migration twice and finds everything.
    this->store.reset();
    this->store = this->backend.open();
    const auto run = this->store->run(a);
    ASSERT_TRUE(run);
    EXPECT_EQ(std::tie(run->info.device, run->info.deviceToken, run->info.samples), std::tuple("10.0.0.1", "abc123", 3));
    EXPECT_FALSE(this->store->run(c + 100));
}

}  // namespace
}  // namespace perfagent

#include "storage/run_store.hpp"
#include "storage/schema.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>
#include <pqxx/pqxx>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <functional>
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
    std::int64_t count(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "runs.sqlite3").c_str(), &db);
        std::int64_t value = -1;
        sqlite3_exec(db, sql.c_str(), [](void* out, int, char** text, char**) { return *static_cast<std::int64_t*>(out) = std::stoll(text[0]), 0; },
                     &value, nullptr);
        sqlite3_close(db);
        return value;
    }
    /// Writes the database anew as the release with schema version 1 left it.
    void writeVersion1(const std::string& data) {
        for (const char* file : {"runs.sqlite3", "runs.sqlite3-wal", "runs.sqlite3-shm"}) std::filesystem::remove(dir / file);
        sqlite3* db = nullptr;
        sqlite3_open((dir / "runs.sqlite3").c_str(), &db);
        const std::string sql = std::string(kSqliteMigrations[0]) + data + "PRAGMA user_version=1;";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
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
    std::string url() const { return admin.substr(0, admin.rfind('/') + 1) + name; }
    std::unique_ptr<RunStore> open() { return openPostgresRunStore(url()); }
    std::int64_t count(const std::string& sql) {
        pqxx::connection c(url());
        return pqxx::nontransaction(c).exec(sql)[0][0].as<std::int64_t>();
    }
    void writeVersion1(const std::string& data) {
        pqxx::connection c(url());
        pqxx::nontransaction(c).exec("DROP SCHEMA public CASCADE; CREATE SCHEMA public;" + std::string(kPostgresMigrations[0]) + data +
                                     "CREATE TABLE schema_migrations(version INTEGER NOT NULL);"
                                     "INSERT INTO schema_migrations VALUES(1);");
    }
};

/// The system series' values of sample n of a measurement with `seed` (a restart has another).
std::array<double, 4> values(int n, double seed) { return {seed + n * 1.25, 4000.5 + n + seed, 900.0 - n, n * 0.1}; }

/// Report k of a measurement: samples 1..k, values by sample and `seed`, its own figures.
IncomingReport report(int k, RunNames names, double seed = 0) {
    IncomingReport r;
    r.names = std::move(names);
    r.series.assign(kSystemSeries.begin(), kSystemSeries.end());
    for (int n = 1; n <= k; ++n) {
        r.numbers.push_back(n);
        for (const double v : values(n, seed)) r.values.push_back(v);
    }
    r.figures = {{"averagecpu", seed + k}, {"maxcpu", seed + k * 1.25}, {"totalduration", k * 1000.0}};
    return r;
}

/// Adds a column to a report's table: value(n) at each of its samples, NaN for none.
void addSeries(IncomingReport& r, const std::string& name, const std::function<double(std::int64_t)>& value) {
    std::vector<double> wider;
    for (std::size_t row = 0; row < r.numbers.size(); ++row) {
        wider.insert(wider.end(), r.values.begin() + row * r.series.size(), r.values.begin() + (row + 1) * r.series.size());
        wider.push_back(value(r.numbers[row]));
    }
    r.series.push_back(name);
    r.values = std::move(wider);
}

/// Removes sample n from a report's table.
void dropSample(IncomingReport& r, std::int64_t n) {
    const auto row = std::find(r.numbers.begin(), r.numbers.end(), n) - r.numbers.begin();
    r.numbers.erase(r.numbers.begin() + row);
    const auto width = static_cast<std::ptrdiff_t>(r.series.size());
    r.values.erase(r.values.begin() + row * width, r.values.begin() + (row + 1) * width);
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
        for (std::size_t i = 0; i < kSystemSeries.size(); ++i) {
            const std::vector<double>& series = run->series.at(std::string(kSystemSeries[i]));
            ASSERT_EQ(series.size(), static_cast<std::size_t>(samples));
            for (int n = 1; n <= samples; ++n) EXPECT_EQ(series[n - 1], values(n, seed)[i]) << "sample " << n;
        }
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
    EXPECT_EQ(this->store->run(first.runId)->info.figures.at("averagecpu"), 6);  // not the stale report's

    // A report with a gap (sample 8 missing), then one that holds it: the gap is filled.
    IncomingReport gappy = report(9, kNames);
    dropSample(gappy, 8);
    EXPECT_EQ(this->ingest(gappy).storedSamples, 2);
    EXPECT_TRUE(std::isnan(this->store->run(first.runId)->series.at("CPU")[7]));
    EXPECT_EQ(this->ingest(report(9, kNames)).storedSamples, 1);
    this->expectSeries(first.runId, 9);

    // The final report repeats the samples with a longer duration: its summary is the run's.
    IncomingReport final = report(9, kNames);
    final.figures["totalduration"] += 400;
    EXPECT_EQ(this->ingest(final).runId, first.runId);
    EXPECT_EQ(this->store->run(first.runId)->info.figures.at("totalduration"), 9400);
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
        EXPECT_EQ(run.figures.at("totalduration"), 40'000);
    }
}

TYPED_TEST(RunStoreTest, ListsNewestFirstWithFiltersPagingAndDeviceTokens) {
    this->store->recordDeviceToken("10.0.0.1", "old", this->now);
    this->store->recordDeviceToken("10.0.0.1", "abc123", this->now);
    const auto a = this->ingest(report(3, kNames), "10.0.0.1").runId;
    const auto b = this->ingest(report(2, {"checkout", "SR-2", std::nullopt}), "10.0.0.1").runId;
    const std::int64_t since = this->now + 1000;  // the instant c arrives
    auto built = report(4, kNames, 5);
    built.labels = {{"build", "2.4-rc1"}};
    const auto c = this->ingest(built, "10.0.0.2").runId;

    const auto ids = [&](auto set) {
        RunFilter filter;
        set(filter);
        std::vector<std::int64_t> out;
        for (const RunInfo& run : this->store->listRuns(filter)) out.push_back(run.id);
        return out;
    };
    using Ids = std::vector<std::int64_t>;
    EXPECT_EQ(ids([](RunFilter&) {}), (Ids{c, b, a}));
    EXPECT_EQ(ids([](RunFilter& f) { f.usecase = "OGI"; }), (Ids{c, a}));  // a part of the name, in any case
    EXPECT_EQ(ids([](RunFilter& f) { f.srnumber = "r-2"; }), (Ids{b}));
    EXPECT_EQ(ids([](RunFilter& f) { f.usecase = "%"; }), (Ids{}));  // no wildcards
    EXPECT_EQ(ids([&](RunFilter& f) { f.untilMs = since; }), (Ids{b, a}));
    EXPECT_EQ(ids([&](RunFilter& f) { f.build = "RC"; }), (Ids{c}));
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

TYPED_TEST(RunStoreTest, KeepsTargetSeriesWithGapsLabelsAndUnknownSeriesInOneRun) {
    const double missing = std::numeric_limits<double>::quiet_NaN();
    // Report 4: memory lacks sample 4, the app's CPU sample 2; a series and a figure the server never saw.
    const auto measured = [&](int k, std::string target, bool gaps) {
        IncomingReport r = report(k, kNames);
        if (gaps) r.values[(k - 1) * 4 + 1] = missing;
        addSeries(r, "AppCPU", [&](std::int64_t n) { return gaps && n == 2 ? missing : n * 0.5; });
        addSeries(r, "Temperature", [](std::int64_t n) { return 40.0 + n; });
        r.labels = {{"target", std::move(target)}, {"targetpid", "4242"}};
        r.figures["averageappcpu"] = k * 0.25, r.figures["averagetemperature"] = 42;
        return r;
    };
    const auto first = this->ingest(measured(4, "memhog", true));
    const auto filled = this->ingest(measured(5, "memhog", false));
    EXPECT_EQ(std::tie(filled.runId, filled.newRun, filled.storedSamples), std::tuple(first.runId, false, 1));
    this->expectSeries(first.runId, 5);
    const auto run = this->store->run(first.runId);
    EXPECT_EQ(run->series.at("AppCPU"), (std::vector<double>{0.5, 1, 1.5, 2, 2.5}));
    EXPECT_EQ(run->series.at("Temperature")[4], 45);
    EXPECT_EQ(run->info.labels, (Labels{{"target", "memhog"}, {"targetpid", "4242"}}));
    EXPECT_EQ(std::tie(run->info.figures.at("averageappcpu"), run->info.figures.at("averagetemperature")), std::tuple(1.25, 42));
    // Another target with the same names and samples is another measurement.
    EXPECT_TRUE(this->ingest(measured(5, "firefox", false)).newRun);
}

TYPED_TEST(RunStoreTest, KeepsMarkersAsTextOnTheirSamplesAndDatesTheFirstSampleFromTheFirstReport) {
    IncomingReport first = report(3, kNames);
    first.markers = {{2, "login"}};
    const auto id = this->ingest(first).runId;
    const std::int64_t arrived = this->now;
    IncomingReport later = report(5, kNames);
    later.markers = {{2, "login \u00b7 scroll"}, {6, "done"}};
    this->ingest(later);
    this->ingest(first);  // late: fewer labels on sample 2 change nothing
    const auto run = this->store->run(id);
    EXPECT_EQ(run->markers, (RunMarkers{{2, "login \u00b7 scroll"}, {6, "done"}}));
    EXPECT_EQ(run->info.firstSampleMs, arrived - 2000);  // sample 3 had just been taken
}

TYPED_TEST(RunStoreTest, ThirtyMeasurementsBehindOneAddressKeepTheirOwnRuns) {
    for (int k = 1; k <= 12; ++k)
        for (int agent = 0; agent < 30; ++agent) this->ingest(report(k, kNames, agent * 10), "192.0.2.1");
    RunFilter all;
    const auto runs = this->store->listRuns(all);
    ASSERT_EQ(runs.size(), 30u);
    for (const RunInfo& run : runs) EXPECT_EQ(run.samples, 12);
}

TYPED_TEST(RunStoreTest, PrunesOldCompleteRunsWithAllTheirRowsInBatchesAndKeepsNewerAndRunningOnes) {
    // Five runs of 3 samples each with labels and a series of their own, a day later one more.
    std::vector<std::int64_t> old;
    for (int device = 1; device <= 5; ++device) {
        IncomingReport r = report(3, kNames);
        r.labels = {{"target", "memhog"}};
        r.markers = {{2, "tap"}};
        addSeries(r, "AppCPU", [](std::int64_t n) { return n * 0.5; });
        old.push_back(this->ingest(r, "10.0.2." + std::to_string(device)).runId);
    }
    const std::int64_t day = 86'400'000, cutoff = this->now + 1;
    this->now += day;
    const auto newer = this->ingest(report(4, kNames, 7), "10.0.2.1").runId;
    const std::int64_t later = this->now + day;
    const auto rows = [&](const char* table, const std::string& where) {
        return this->backend.count(std::string("SELECT count(*) FROM ") + table + " WHERE " + where);
    };

    // At most 2 runs a batch, then at most the runs that hold 4 samples (one past the limit is not taken).
    using Removed = std::pair<std::int64_t, std::int64_t>;  // runs, samples
    const auto removed = [&](PruneBatch batch) {
        const PruneResult r = this->store->prune(cutoff, later, batch);
        return Removed(r.runs, r.samples);
    };
    EXPECT_EQ((removed({.runs = 2})), Removed(2, 6));
    EXPECT_EQ((removed({.runs = 100, .samples = 4})), Removed(2, 6));
    EXPECT_EQ((removed({.runs = 100, .samples = 4})), Removed(1, 3));
    EXPECT_EQ((removed({})), Removed(0, 0));
    for (const std::int64_t id : old) EXPECT_FALSE(this->store->run(id));
    for (const char* table : {"samples", "run_labels", "run_figures", "run_series", "run_markers"})
        EXPECT_EQ(rows(table, "run <> " + std::to_string(newer)), 0) << table;
    this->expectSeries(newer, 4, 7);

    // A run reported within the completion time is kept whatever the date asked; its data stays whole.
    const PruneResult running = this->store->prune(later, this->now + kRunCompleteAfterMs - 1, {});
    EXPECT_EQ(running.runs, 0);
    this->expectSeries(newer, 4, 7);
    EXPECT_EQ(this->store->prune(later, this->now + kRunCompleteAfterMs, {}).runs, 1);
    EXPECT_EQ(rows("runs", "1 = 1"), 0);
}

TYPED_TEST(RunStoreTest, UpgradesADatabaseOfSchemaVersion1AndKeepsItsRuns) {
    this->store.reset();
    this->backend.writeVersion1(
        "INSERT INTO devices(address, token, token_ms) VALUES('10.0.0.9', 'tok', 1);"
        "INSERT INTO runs(device, usecase, srnumber, started_ms, last_report_ms, samples, last_sample, summary_samples,"
        " averagecpu, maxcpu, maxmemoryused, totalduration) VALUES('10.0.0.9', 'login', 'SR-1', 1000, 5000, 3, 4, 4,"
        " 12.5, 33.333333333333336, 4096.5, 4000);"
        "INSERT INTO samples VALUES(1, 1, 1.5, 4000.25, 900, 0), (1, 2, 2.5, 4001, 899, NULL), (1, 4, 0.1, 4002, 898, 0.5);");
    this->store = this->backend.open();
    const auto run = this->store->run(1);
    ASSERT_TRUE(run);
    EXPECT_EQ(std::tie(run->info.names, run->info.deviceToken, run->info.samples, run->info.lastSample),
              std::tuple(RunNames{"login", "SR-1", std::nullopt}, "tok", 3, 4));
    EXPECT_EQ(run->info.firstSampleMs, 1000);  // its first report's arrival: the best there is
    EXPECT_EQ(run->info.figures, (Figures{{"averagecpu", 12.5}, {"averagememorycompressed", 0}, {"averagememoryfree", 0},
                                          {"averagememoryused", 0}, {"maxcpu", 33.333333333333336},
                                          {"maxmemorycompressed", 0}, {"maxmemoryfree", 0}, {"maxmemoryused", 4096.5},
                                          {"totalduration", 4000}}));
    const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) { return x == y || (x != x && y != y); });
    };
    const double missing = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(same(run->series.at("CPU"), {1.5, 2.5, missing, 0.1}));
    EXPECT_TRUE(same(run->series.at("MemoryCompressed"), {0, missing, missing, 0.5}));
    EXPECT_EQ(run->series.size(), 4u);
    // The upgraded run takes the rest of its measurement: its stored samples agree.
    IncomingReport next = report(5, {"login", "SR-1", std::nullopt});
    for (const auto& [n, v] : {std::pair{1, std::array{1.5, 4000.25, 900.0, 0.0}}, {4, {0.1, 4002.0, 898.0, 0.5}}})
        std::copy(v.begin(), v.end(), next.values.begin() + (n - 1) * 4);
    const auto continued = this->ingest(next, "10.0.0.9");
    EXPECT_EQ(std::tie(continued.runId, continued.storedSamples), std::tuple(1, 2));
}

}  // namespace
}  // namespace perfagent

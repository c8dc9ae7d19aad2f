#include "base/text.hpp"
#include "ingest/report_parser.hpp"
#include "storage/run_store.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace perfagent {
namespace {

/// A running report's body as the agent writes it when it measures a target (pretty JSON, one member per
/// line) with `count` samples numbered from `first`, each value a function of its sample number: the
/// system's four series, its figures, then the target's label, pid, two series and figures.
std::string runningReport(std::int64_t first, std::int64_t count) {
    std::string body = "{\n  \"UsecaseName\": \"login\",\n  \"srNumber\": \"SR-1\",\n  \"pagename\": \"home\"";
    const auto appendSeries = [&](const char* name, int s) {
        body += ",\n  \"";
        body += name;
        body += "\": {\n";
        for (std::int64_t n = first; n < first + count; ++n) {
            body += n == first ? "    \"" : ",\n    \"";
            body += std::to_string(n);
            body += "s\": ";
            appendDoubleText(body, s % 4 == 0 ? (n % 97) * 1.0309278350515465 : 3000.0 + s * 1000 + (n % 13) * 0.25);
        }
        body += "\n  }";
    };
    const auto appendFigures = [&](std::initializer_list<const char*> keys) {
        for (const char* key : keys) {
            body += ",\n  \"";
            body += key;
            body += "\": ";
            appendDoubleText(body, key == std::string_view("totalduration") ? (first + count) * 1000.0 : 51.5123456789);
        }
    };
    int s = 0;
    for (const char* name : {"CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"}) appendSeries(name, s++);
    appendFigures({"averagecpu", "averagememoryfree", "averagememorycompressed", "averagememoryused", "maxmemoryfree",
                   "maxmemorycompressed", "maxmemoryused", "maxcpu", "totalduration"});
    body += ",\n  \"target\": \"memhog\",\n  \"targetpid\": 4242";
    for (const char* name : {"AppCPU", "AppMemory"}) appendSeries(name, s++);
    appendFigures({"averageappcpu", "maxappcpu", "averageappmemory", "maxappmemory"});
    return body + "\n}";
}

// One running report of a run that already holds n−1 samples: parse the body, find the run, store the
// one new sample, update the summary. Each report carries n samples; their window slides by one per
// report so that every report brings exactly one new sample and the run never grows a gap.
void ingestRunningReport(benchmark::State& state, const std::function<std::unique_ptr<RunStore>()>& open) {
    const std::int64_t n = state.range(0);
    auto store = open();
    // Google Benchmark calls this several times; each call measures a run of its own.
    static int calls = 0;
    const std::string device = "bench-" + std::to_string(::getpid()) + "-" + std::to_string(++calls);
    const auto opening = parseReport(runningReport(1, n - 1));
    if (!opening) return state.SkipWithError(opening.error().message.c_str());
    store->ingest(device, *opening, 0);
    std::int64_t first = 1;
    for (auto _ : state) {
        state.PauseTiming();
        std::string body = runningReport(first++, n);
        state.ResumeTiming();
        const auto report = parseReport(std::move(body));
        if (!report) return state.SkipWithError(report.error().message.c_str());
        const IngestResult result = store->ingest(device, *report, first);
        if (result.storedSamples != 1 || result.newRun) return state.SkipWithError("the report did not add one sample");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("reports");
}

void BM_IngestRunningReport(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() / ("perfagent-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ingestRunningReport(state, [&] { return openSqliteRunStore((dir / "runs.sqlite3").string()); });
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_IngestRunningReport)->Arg(3600)->Arg(14400)->Unit(benchmark::kMicrosecond);

// The same against the PostgreSQL database that PERFAGENT_BENCH_PG_URL names, when it names one.
const bool kPostgresRegistered = [] {
    const char* url = std::getenv("PERFAGENT_BENCH_PG_URL");
    if (url == nullptr || *url == '\0') return false;
    const std::string connection = url;
    benchmark::RegisterBenchmark("BM_IngestRunningReportPostgres", [connection](benchmark::State& state) {
        ingestRunningReport(state, [&] { return openPostgresRunStore(connection); });
    })->Arg(3600)->Arg(14400)->Unit(benchmark::kMicrosecond);
    return true;
}();

}  // namespace
}  // namespace perfagent

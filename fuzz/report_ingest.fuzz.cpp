// Feeds arbitrary bytes through the collection server's report ingest the way a report upload reaches
// it: the body is parsed and checked, and a report that is accepted is stored in a fresh in-memory SQLite
// store twice. Besides crashes and sanitizer reports, an input fails when what was accepted breaks the
// report's rules, when the store's series differ from the report's, or when the repeat stores anything.

#include "ingest/report_parser.hpp"
#include "storage/run_store.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

using namespace perfagent;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "report_ingest_fuzz: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

bool sameValue(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto parsed = parseReport(std::string(body));
    if (!parsed) {
        check(!parsed.error().message.empty(), "refusal without a reason");
        return 0;
    }
    const IncomingReport& report = *parsed;
    for (const auto& [name, value] : report.figures) check(std::isfinite(value), "non-finite figure");
    check(report.series.size() <= kMaxSeries && report.texts.size() == report.numbers.size() * report.series.size(),
          "table shape");
    std::int64_t previous = 0;
    for (std::size_t row = 0; row < report.numbers.size(); ++row) {
        check(report.numbers[row] > previous && report.numbers[row] <= kMaxSampleNumber,
              "sample numbers not increasing within range");
        previous = report.numbers[row];
        bool any = false;
        for (std::size_t column = 0; column < report.series.size(); ++column) {
            const double value = report.value(row, column);
            check(std::isnan(value) || std::isfinite(value), "infinite value");
            any = any || !std::isnan(value);
        }
        check(any, "a sample without values");
    }
    for (const auto* name : {&report.names.usecase, &report.names.srnumber, &report.names.pagename})
        check(!*name || !(*name)->empty(), "an empty name kept");

    const auto store = openSqliteRunStore(":memory:");
    const IngestResult first = store->ingest("10.0.0.7", report, 1);
    check(first.newRun && first.storedSamples == static_cast<std::int64_t>(report.numbers.size()), "first report not stored whole");
    const IngestResult again = store->ingest("10.0.0.7", report, 2);
    check(again.runId == first.runId && !again.newRun && again.storedSamples == 0, "a repeated report changed the run");
    const auto run = store->run(first.runId);
    check(run && run->info.samples == first.storedSamples && run->info.names == report.names &&
              run->info.labels == report.labels && run->info.figures == report.figures && run->markers == report.markers,
          "run not as reported");
    for (std::size_t column = 0; column < report.series.size(); ++column) {
        const auto& stored = run->series.at(report.series[column]);
        check(stored.size() == static_cast<std::size_t>(report.lastSample()), "series length");
        for (std::size_t row = 0; row < report.numbers.size(); ++row)
            check(sameValue(stored[static_cast<std::size_t>(report.numbers[row] - 1)], report.value(row, column)),
                  "stored value differs");
    }
    return 0;
}

#pragma once

#include "report/report_summary.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// The four per-sample series of a report, in the order their values are kept in `Sample::values`.
inline constexpr std::array<const char*, 4> kSeriesNames{"CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"};

/// One sample: its number (1, 2, … from the measurement's start) and its four values. A value the report
/// did not carry is NaN (a report never carries NaN: it cannot be written as JSON).
struct Sample {
    std::int64_t n = 0;
    std::array<double, 4> values{};
};

/// "UsecaseName", "srNumber", "pagename"; absent when the report leaves them out.
struct RunNames {
    std::optional<std::string> usecase;
    std::optional<std::string> srnumber;
    std::optional<std::string> pagename;
    bool operator==(const RunNames&) const = default;
};

/// A measurement report as the server ingests it: samples sorted by number, each number once.
struct IncomingReport {
    RunNames names;
    std::vector<Sample> samples;
    RunSummary summary;
    std::int64_t lastSample() const { return samples.empty() ? 0 : samples.back().n; }
};

/// What one ingested report did.
struct IngestResult {
    std::int64_t runId = 0;
    bool newRun = false;
    std::int64_t storedSamples = 0;  ///< samples this report added to the run
};

/// A stored run without its series.
struct RunInfo {
    std::int64_t id = 0;
    std::string device;                      ///< the sender's address
    std::optional<std::string> deviceToken;  ///< the token most recently posted from that address
    RunNames names;
    std::int64_t startedMs = 0;     ///< arrival of its first report, ms since 1970
    std::int64_t lastReportMs = 0;  ///< arrival of its latest report
    std::int64_t samples = 0;       ///< samples stored
    std::int64_t lastSample = 0;    ///< highest sample number stored
    RunSummary summary;             ///< the summary of its latest (most samples) report
};

/// A run is complete after this long without a report.
inline constexpr std::int64_t kRunCompleteAfterMs = 10'000;
inline bool isComplete(const RunInfo& run, std::int64_t nowMs) { return nowMs - run.lastReportMs >= kRunCompleteAfterMs; }

/// A run and its series: element n−1 holds sample n; NaN values where a sample is missing.
struct RunDetail {
    RunInfo info;
    std::vector<std::array<double, 4>> series;
};

/// Which runs a listing returns: newest first, filters combined with "and".
struct RunFilter {
    std::optional<std::string> usecase;
    std::optional<std::string> srnumber;
    std::optional<std::string> device;
    std::optional<std::int64_t> sinceMs;  ///< started at or after
    std::optional<std::int64_t> afterId;  ///< paging: runs older than this id
    std::int64_t limit = 100;
};

/// @brief The database cannot do the work now (disk full, locked by another process, connection lost); the
/// same work may succeed later. Other errors concern the work itself and would fail again.
class StoreUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// @brief Where runs are kept. Runs are derived from the reports as they arrive (see run_derivation.hpp);
/// each report is one transaction, so several stores may share one database and take any report of any
/// run. One store is used from one thread at a time.
class RunStore {
public:
    virtual ~RunStore() = default;
    /// Stores one report sent from `device` (its address) and arriving at `nowMs`, committed when this
    /// returns. Storing a report again adds nothing it already stored, so a failed one may be retried.
    virtual IngestResult ingest(std::string_view device, const IncomingReport& report, std::int64_t nowMs) = 0;
    /// Keeps the token most recently posted from `device`.
    virtual void recordDeviceToken(std::string_view device, std::string_view token, std::int64_t nowMs) = 0;
    virtual std::vector<RunInfo> listRuns(const RunFilter& filter) = 0;
    virtual std::optional<RunDetail> run(std::int64_t id) = 0;
};

/// Opens (creating when missing) the SQLite database at `path` and brings its schema up to date.
/// Throws std::runtime_error with the database's message, and the system's reason, on failure.
std::unique_ptr<RunStore> openSqliteRunStore(const std::string& path);
/// Connects to PostgreSQL (`connection` is a libpq connection string or URI) and brings the schema up
/// to date. Throws std::runtime_error on failure.
std::unique_ptr<RunStore> openPostgresRunStore(const std::string& connection);

}  // namespace perfagent

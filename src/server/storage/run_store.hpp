#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace perfagent {

/// The system's series, which every report carries: listed first, in this order, wherever series are.
inline constexpr std::array<std::string_view, 4> kSystemSeries{"CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"};

/// Limits on what one report (and so one run) may carry; a report beyond them is refused whole.
inline constexpr std::size_t kMaxSeries = 32;
inline constexpr std::size_t kMaxFigures = 128;
inline constexpr std::size_t kMaxLabels = 32;
inline constexpr std::size_t kMaxNameBytes = 64;    ///< series, figure and label names: [A-Za-z0-9_]
inline constexpr std::size_t kMaxLabelBytes = 256;  ///< a label's value
inline constexpr std::size_t kMaxRunMarkers = 1000;             ///< marked samples in one report
inline constexpr std::size_t kMaxMarkerTextBytes = 256 * 1024;  ///< their labels together

/// Text members of a run other than its names (the measured "target", its "targetpid", …), and its
/// numbers (averages, maxima, "totalduration", …), each by its report key.
using Labels = std::map<std::string, std::string, std::less<>>;
using Figures = std::map<std::string, double, std::less<>>;
/// Markers: sample number → the labels of what was marked there (several joined with " · ").
using RunMarkers = std::map<std::int64_t, std::string>;

/// "UsecaseName", "srNumber", "pagename"; absent when the report leaves them out.
struct RunNames {
    std::optional<std::string> usecase;
    std::optional<std::string> srnumber;
    std::optional<std::string> pagename;
    bool operator==(const RunNames&) const = default;
};

/// @brief A measurement report as the server ingests it. Its samples are a table: one row per sample
/// number (ascending, each once), one column per series; a value the report did not carry is NaN (a
/// report never carries NaN: it cannot be written as JSON).
///
/// A report built in code holds its values in `values`. A parsed one holds the body instead, and for
/// each cell the offset of its value's text in it: a running report repeats every sample its run
/// already holds, and value() converts only the cells that are read.
struct IncomingReport {
    static constexpr std::uint32_t kNoText = UINT32_MAX;

    RunNames names;
    Labels labels;
    Figures figures;
    std::vector<std::string> series;    ///< column names, the system series first
    std::vector<std::int64_t> numbers;  ///< row sample numbers
    std::vector<double> values;         ///< numbers.size() × series.size(), row by row (built in code)
    std::string body;                   ///< the parsed body
    std::vector<std::uint32_t> texts;   ///< like values: each cell's offset in body, or kNoText
    RunMarkers markers;                 ///< "markers", when the measurement has any

    double value(std::size_t row, std::size_t column) const {
        const std::size_t cell = row * series.size() + column;
        if (texts.empty()) return values[cell];
        if (texts[cell] == kNoText) return std::numeric_limits<double>::quiet_NaN();
        // The parser checked the text is a JSON number within range; out of range here is too small: 0.
        double value = 0;
        if (std::from_chars(body.data() + texts[cell], body.data() + body.size(), value).ec != std::errc()) return 0;
        return value;
    }
    bool has(std::size_t row, std::size_t column) const {
        const std::size_t cell = row * series.size() + column;
        return texts.empty() ? !std::isnan(values[cell]) : texts[cell] != kNoText;
    }
    std::int64_t lastSample() const { return numbers.empty() ? 0 : numbers.back(); }
    double figure(std::string_view name) const {
        const auto it = figures.find(name);
        return it == figures.end() ? 0 : it->second;
    }
    /// Memory the report holds, for bounding queued reports.
    std::size_t heldBytes() const {
        return sizeof(*this) + numbers.size() * sizeof(std::int64_t) + values.size() * sizeof(double) + body.size() +
               texts.size() * sizeof(std::uint32_t);
    }
};

/// What one ingested report did.
struct IngestResult {
    std::int64_t runId = 0;
    bool newRun = false;
    std::int64_t storedSamples = 0;  ///< sample numbers this report added to the run
};

/// A stored run without its series.
struct RunInfo {
    std::int64_t id = 0;
    std::string device;                      ///< the sender's address
    std::optional<std::string> deviceToken;  ///< the token most recently posted from that address
    RunNames names;
    Labels labels;
    std::int64_t startedMs = 0;     ///< arrival of its first report, ms since 1970
    /// When sample 1 was taken, ms since 1970: the first report's arrival less a second for each sample
    /// before its last (reports carry no instant; samples are a second apart).
    std::int64_t firstSampleMs = 0;
    std::int64_t lastReportMs = 0;  ///< arrival of its latest report
    std::int64_t samples = 0;       ///< sample numbers stored
    std::int64_t lastSample = 0;    ///< highest sample number stored
    Figures figures;                ///< the figures of its latest (most samples) report
};

/// A run is complete after this long without a report.
inline constexpr std::int64_t kRunCompleteAfterMs = 10'000;
inline bool isComplete(const RunInfo& run, std::int64_t nowMs) { return nowMs - run.lastReportMs >= kRunCompleteAfterMs; }

/// A run and its series by name: element n−1 holds sample n; NaN where the sample has no value.
struct RunDetail {
    RunInfo info;
    std::map<std::string, std::vector<double>, std::less<>> series{};
    RunMarkers markers{};
};

/// Series names in display order: the system series first, then the others by name.
std::vector<std::string> orderedSeriesNames(const RunDetail& run);

/// @brief How much one pruning transaction removes at most: `runs` runs, and no further run once those
/// taken hold `samples` samples together (always at least one), so that no batch holds the database long.
struct PruneBatch {
    std::int64_t runs = 100;
    std::int64_t samples = 100'000;
};

/// What pruning removed.
struct PruneResult {
    std::int64_t runs = 0;
    std::int64_t samples = 0;  ///< sample rows
    PruneResult& operator+=(const PruneResult& other) {
        runs += other.runs;
        samples += other.samples;
        return *this;
    }
};

/// Runs whose latest report arrived before this may be removed at `nowMs`: before `beforeMs`, and never
/// a run still in progress.
inline std::int64_t pruneCutoffMs(std::int64_t beforeMs, std::int64_t nowMs) {
    return std::min(beforeMs, nowMs - kRunCompleteAfterMs + 1);
}

/// Which runs a listing returns: newest first, filters combined with "and". Use case, SR number and build
/// (the "build" label) match runs whose text holds the filter's, ASCII letters in either case.
struct RunFilter {
    std::optional<std::string> usecase;
    std::optional<std::string> srnumber;
    std::optional<std::string> build;
    std::optional<std::string> device;
    std::optional<std::int64_t> sinceMs;  ///< started at or after
    std::optional<std::int64_t> untilMs;  ///< started before
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
/// each report is stored in one transaction (alone, or with others by writeTogether), so several stores
/// may share one database and take any report of any run. One store is used from one thread at a time.
class RunStore {
public:
    virtual ~RunStore() = default;
    /// Stores one report sent from `device` (its address) and arriving at `nowMs`, committed when this
    /// returns. Storing a report again adds nothing it already stored, so a failed one may be retried.
    virtual IngestResult ingest(std::string_view device, const IncomingReport& report, std::int64_t nowMs) = 0;
    /// Keeps the token most recently posted from `device`.
    virtual void recordDeviceToken(std::string_view device, std::string_view token, std::int64_t nowMs) = 0;
    /// Runs `writes` (calls of ingest and recordDeviceToken) in one transaction, committed when this
    /// returns: several reports for one commit. When it throws, none of them is kept (the backend may run
    /// `writes` again first, after a conflict with another server's transaction).
    virtual void writeTogether(const std::function<void()>& writes) = 0;
    virtual std::vector<RunInfo> listRuns(const RunFilter& filter) = 0;
    virtual std::optional<RunDetail> run(std::int64_t id) = 0;
    /// Removes, in one transaction, the oldest complete runs last reported before `beforeMs` (see
    /// pruneCutoffMs), at most one `batch`, with their samples, labels, figures, series and markers.
    virtual PruneResult prune(std::int64_t beforeMs, std::int64_t nowMs, const PruneBatch& batch) = 0;
};

/// Opens (creating when missing) the SQLite database at `path` and brings its schema up to date.
/// Throws std::runtime_error with the database's message, and the system's reason, on failure.
std::unique_ptr<RunStore> openSqliteRunStore(const std::string& path);
/// Connects to PostgreSQL (`connection` is a libpq connection string or URI) and brings the schema up
/// to date. Throws std::runtime_error on failure.
std::unique_ptr<RunStore> openPostgresRunStore(const std::string& connection);

}  // namespace perfagent

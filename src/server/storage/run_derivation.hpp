#pragma once

#include "storage/run_store.hpp"

#include <span>

namespace perfagent {

/// One series of a stored run: its name, its place in the run's sample rows, and which sample numbers
/// hold a value (none while count is 0).
struct StoredSeries {
    std::string name;
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t count = 0;
    bool dense() const { return count == 0 || count == last - first + 1; }
};

/// A stored run as run derivation sees it.
struct StoredRun {
    std::int64_t id = 0;
    RunNames names;
    std::int64_t samples = 0;
    std::int64_t lastSample = 0;
    /// Last sample number and duration of the report the figures came from; -1 while there is none.
    std::int64_t summarySamples = -1;
    double summaryDuration = 0;
    std::int64_t lastReportMs = 0;  ///< with id, the order in which candidates are offered
};

/// Sample rows as the database keeps them: `width` values a row, by the run's series index.
struct SampleRows {
    std::size_t width = 0;
    std::vector<std::int64_t> numbers{};
    std::vector<double> values{};
    std::span<const double> row(std::size_t i) const { return {values.data() + i * width, width}; }
};

/// @brief The database work one report needs, inside one transaction that the backend opens before and
/// commits after `ingestReport`.
class RunTransaction {
public:
    virtual ~RunTransaction() = default;
    /// Holds off every other writer of this device's runs until the transaction ends (creating the
    /// device's row when missing), so that two servers never derive runs from one device's reports at
    /// once.
    virtual void lockDevice(std::string_view device) = 0;
    /// Up to `limit` of the device's runs whose names are compatible with `names` (see namesCompatible),
    /// most recently reported first, starting after `after` in that order (from the top when its id is 0).
    virtual std::vector<StoredRun> candidateRuns(std::string_view device, const RunNames& names,
                                                 const StoredRun& after, int limit) = 0;
    virtual Labels labels(std::int64_t run) = 0;
    /// The run's series by index.
    virtual std::vector<StoredSeries> series(std::int64_t run) = 0;
    /// Those of the run's stored rows whose numbers are in `numbers`, `width` values each (rows stored
    /// before a series was added are padded with NaN).
    virtual SampleRows storedRows(std::int64_t run, std::span<const std::int64_t> numbers, std::size_t width) = 0;
    virtual std::int64_t createRun(std::string_view device, const RunNames& names, std::int64_t nowMs,
                                   std::int64_t firstSampleMs) = 0;
    /// Inserts rows the run does not hold yet (the caller knows they are new).
    virtual void insertRows(std::int64_t run, const SampleRows& rows) = 0;
    /// Replaces the values of rows the run holds.
    virtual void updateRows(std::int64_t run, const SampleRows& rows) = 0;
    /// Writes the run's series from index `from` on as new, those before it as changed.
    virtual void saveSeries(std::int64_t run, const std::vector<StoredSeries>& series, std::size_t from) = 0;
    virtual void addLabels(std::int64_t run, const Labels& labels) = 0;
    /// Stores each marker the run lacks, and a marker's labels where they are longer than those stored (a
    /// later report of the measurement holds more labels on a sample, never fewer).
    virtual void saveMarkers(std::int64_t run, const RunMarkers& markers) = 0;
    /// Writes back the run's names and counts, its last-report time and, when given, its figures (with
    /// run.summarySamples and run.summaryDuration), which replace the ones it had.
    virtual void updateRun(const StoredRun& run, const Figures* figures, std::int64_t nowMs) = 0;
};

/// How many candidate runs one query fetches; derivation asks for more until one matches or none are left.
inline constexpr int kCandidateBatch = 32;

/// Names are compatible when no name is present on both sides with different texts: an interim report
/// (no "pagename") joins its run, and an overall run (no names) takes the names of its final report.
/// Labels are compared the same way.
bool namesCompatible(const RunNames& run, const RunNames& report);
bool labelsCompatible(const Labels& run, const Labels& report);

/// Derives the report's run and stores it: the most recently reported of the device's runs whose
/// names and labels are compatible, whose series fit (at most kMaxSeries together) and whose samples
/// agree with the report's (at its first sample and the last one both hold, in every series both hold),
/// else a new run (its first sample dated from `nowMs` and the report's last sample number). Only values
/// the run lacks are written, also into its gaps, and the report's markers; the run's figures become
/// the report's when the report is the latest yet (more samples, or as many and a longer duration, as a
/// final report after the last running one).
IngestResult ingestReport(RunTransaction& transaction, std::string_view device, const IncomingReport& report,
                          std::int64_t nowMs);

}  // namespace perfagent

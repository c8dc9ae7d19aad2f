#pragma once

#include "storage/run_store.hpp"

#include <span>

namespace perfagent {

/// A stored run as run derivation sees it.
struct StoredRun {
    std::int64_t id = 0;
    RunNames names;
    std::int64_t samples = 0;
    std::int64_t lastSample = 0;
    /// Last sample number and duration of the report the summary came from; -1 while there is none.
    std::int64_t summarySamples = -1;
    double summaryDuration = 0;
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
    /// The device's newest runs, newest first.
    virtual std::vector<StoredRun> recentRuns(std::string_view device, int limit) = 0;
    /// Those of the run's stored samples whose numbers are in `numbers`.
    virtual std::vector<Sample> storedSamples(std::int64_t run, std::span<const std::int64_t> numbers) = 0;
    virtual std::int64_t createRun(std::string_view device, const RunNames& names, std::int64_t nowMs) = 0;
    /// Inserts those of `samples` the run does not hold yet; returns how many that were.
    virtual std::int64_t insertSamples(std::int64_t run, std::span<const Sample> samples) = 0;
    /// Writes back the run's names and counts, its last-report time and, when given, its summary (with
    /// run.summarySamples).
    virtual void updateRun(const StoredRun& run, const RunSummary* summary, std::int64_t nowMs) = 0;
};

/// How many of a device's newest runs a report is matched against.
inline constexpr int kCandidateRuns = 16;

/// Names are compatible when no name is present on both sides with different texts: an interim report
/// (no "pagename") joins its run, and an overall run (no names) takes the names of its final report.
bool namesCompatible(const RunNames& run, const RunNames& report);

/// True when the run's stored samples agree with the report's where it matters: at the report's first
/// sample (a restarted measurement differs there) and at the last sample both hold.
bool samplesAgree(RunTransaction& transaction, const StoredRun& run, const IncomingReport& report);

/// Derives the report's run and stores it: the newest of the device's runs whose names are compatible
/// and whose samples agree, else a new run. Only samples the run lacks are written; the run's summary
/// becomes the report's when the report is the latest yet (more samples, or as many and a longer
/// duration, as a final report after the last running one).
IngestResult ingestReport(RunTransaction& transaction, std::string_view device, const IncomingReport& report,
                          std::int64_t nowMs);

}  // namespace perfagent

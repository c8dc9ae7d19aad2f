#pragma once

#include "collector/series.hpp"
#include "report/measurement_report.hpp"
#include "report/sample_series.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief One measurement's samples: each declared series it records (see kSeries) with its sum, maximum
/// and count, the sample numbers, and the start and end instants (ms since 1970).
class Measurement {
public:
    /// Starts afresh at `startMs`: no samples, empty series; records the series of `groups` from now on.
    void start(double startMs, SeriesGroups groups = {});
    /// Adds one sample under the next sample number: each series the measurement records (the target's
    /// only `withTarget`) takes the sample's reading, or what its WhenMissing says when it has none.
    void add(const SampleReadout& sample, bool withTarget);
    /// Sample counter, counts, sums and maxima back to zero, so that the next report has no samples to
    /// average (its averages of HoldLatest series are NaN); the series, instants and latest figures stay.
    void resetFigures();
    /// The next sample replaces the newest one, which holds the measurement's length steady (benchmarks).
    void retakeLastSample() { samples_ = samples_ > 0 ? samples_ - 1 : 0; }

    void setStartTime(double ms) { startTime_ = ms; }
    void setEndTime(double ms) { endTime_ = ms; }
    double startTime() const { return startTime_; }
    double endTime() const { return endTime_; }
    /// The samples counted since the start or the last resetFigures: the newest sample's number.
    std::int64_t samples() const { return samples_; }
    const SeriesGroups& groups() const { return groups_; }
    /// The entries of series `index` (of kSeries).
    const SampleSeries& series(std::size_t index) const { return series_[index].entries; }
    /// The latest figure recorded in series `index`, 0 before any.
    double latest(std::size_t index) const { return series_[index].latest; }
    /// Marks the sample added next with `label` (checked by checkMarkerLabel); the reports carry the
    /// marker from now on, until the next start. Fails when the measurement has as many markers as it may.
    Result<void> mark(std::string_view label) { return markers_.add(samples_ + 1, label); }

    /// @brief The target measured besides the system, as the report names it.
    struct TargetName {
        std::string name;
        std::int64_t pid = 0;
    };
    /// The report: the names given (each left out when absent or empty), the recorded series, their
    /// averages and maxima, "totalduration" from the start to the end instant, the target's part when
    /// `target` is given, and the markers.
    MeasurementReport report(const std::optional<std::string>& usecaseName, const std::optional<std::string>& srNumber,
                             const std::optional<std::string>& pageName, std::optional<TargetName> target = {}) const;

private:
    struct Totals {
        SampleSeries entries;
        double sum = 0;
        double max = 0;
        std::int64_t count = 0;
        double latest = 0;  // kept across starts: a first missing sample holds the previous measurement's figure
    };
    void partOf(SeriesPart part, std::vector<MeasurementReport::Series>& series,
                std::vector<MeasurementReport::Figure>& figures) const;

    std::array<Totals, kSeriesCount> series_;
    std::int64_t samples_ = 0;
    double startTime_ = 0;
    double endTime_ = 0;
    SeriesGroups groups_;
    Markers markers_;
};

}  // namespace perfagent

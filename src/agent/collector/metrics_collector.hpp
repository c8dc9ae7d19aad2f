#pragma once

#include "collector/measurement.hpp"
#include "collector/series.hpp"
#include "collector/target.hpp"
#include "platform/platform.hpp"
#include "platform/run_loop.hpp"
#include "probes/cpu.hpp"
#include "report/measurement_report.hpp"
#include "report/report_encoder.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

class CollectionServer;

/// Prints the readout lines every sampler shares ("Time Remaining In Background : " … "Percent Of System
/// Memory:", then the console line of each series of `groups` that declares one) and returns the figures
/// read on the way: the system's through `sampler`, the application lines through `app` (the agent's own
/// or a target's; none: not read, and they print 0.0), the metric groups' through `metrics` (none: not read).
SampleReadout readAndPrintSample(Platform& platform, Sampler& sampler, ProcessMeter* app, const SeriesGroups& groups = {},
                                 MetricGroupSampler* metrics = nullptr);

/// @brief The sampler of one measurement at a time: owns its one-second timer, reads the probes at each
/// tick into its Measurement, and posts the measurement so far to the collection server after every sample.
///
/// Every operation runs on the main thread.
class MetricsCollector {
public:
    MetricsCollector(Platform& platform, Probes& probes, CollectionServer& server);
    ~MetricsCollector();
    MetricsCollector(const MetricsCollector&) = delete;
    MetricsCollector& operator=(const MetricsCollector&) = delete;

    /// Begins a measurement: records the start instant, clears the measurement, keeps the names and
    /// schedules the one-second sampling timer (invalidating a timer still running).
    void start(std::string useCaseName, std::string srNumber, std::string pageName);
    /// One sample: readout lines, the measurement, and the running report.
    void timerHandler();
    /// Ends the measurement: stops the timer, posts the final report, clears counts, sums and maxima.
    /// Does nothing on a collector that was never started.
    void stop();
    /// Posts an interim report of the running measurement without changing it.
    void backgroundPush();
    /// Begins a measurement at `startMs` with `from`'s target (taken from it), build and metric groups, and no names:
    /// `tick` runs each sample, once at once (queued on the main loop, its CPU covering the time since the
    /// agent's previous reading) and then once a second on this collector's timer.
    void startTicking(MetricsCollector& from, double startMs, std::function<void()> tick);
    /// Ends a measurement begun by startTicking: stops the timer, prints the end instant and the names given,
    /// posts the final report under them and clears counts, sums and maxima.
    void finishTicking(const std::string& useCaseName, const std::string& srNumber, const std::string& pageName);

    /// Measures `target` (nothing: only the system) in the measurements started from now on. When its
    /// process cannot be read (any more), fails saying why and keeps what it measured before.
    Result<void> setTarget(const std::optional<ResolvedTarget>& target);
    /// The process measured besides the system, if any.
    const ProcessTarget* target() const { return target_ ? &*target_ : nullptr; }
    /// Names the build measured in the measurements started from now on (nothing: none is named).
    void setBuild(std::optional<std::string> build) { build_ = std::move(build); }
    /// Samples the metric groups `metrics` in the measurements started from now on. Each start opens their
    /// sources; one the host lacks is said once (console and log) with the reason, and its series left out.
    void setMetrics(MetricGroupSet metrics) { metrics_ = metrics; }
    /// A sampling timer is running.
    bool running() const { return timer_ && timer_->isValid(); }
    /// Marks the sample the next tick records with `label` (checked by checkMarkerLabel); its reports
    /// carry the marker from now on, until the next start. Fails when the measurement has as many
    /// markers as it may.
    Result<void> mark(std::string_view label) { return measurement_.mark(label); }

    const Measurement& measurement() const { return measurement_; }
    const std::optional<std::string>& useCase() const { return useCase_; }
    const std::optional<std::string>& srno() const { return srno_; }
    const std::optional<std::string>& pagename() const { return pagename_; }
    /// The latest sample's figures (app figures NaN when its target was not read), if any.
    const std::optional<SampleReadout>& latestReadout() const { return latestReadout_; }
    /// When the latest sample was read (ms since 1970).
    double latestReadoutAt() const { return latestReadoutAt_; }
    /// The next sample replaces the newest one (benchmarks hold a measurement's length steady with it).
    void retakeLastSample() { measurement_.retakeLastSample(); }

private:
    void markEnd(const char* label);
    std::size_t handOff(const MeasurementReport& report, HandOffLines variant, std::uint64_t coalesceKey = 0);
    /// The measurement's report under these names, with its build and its target's part.
    MeasurementReport reportOf(const std::optional<std::string>& useCaseName, const std::optional<std::string>& srNumber,
                               const std::optional<std::string>& pageName) const;
    /// The "CPU DICT: …" line: each series that declares a dictionary label.
    void printDictionaries();
    /// Opens the sources of the metric groups asked for, saying those left out: the groups recorded.
    SeriesGroups openMetricGroups();

    Platform& platform_;
    Probes& probes_;
    Sampler sampler_;  // this measurement's own CPU intervals and the agent's own process
    CollectionServer& server_;
    std::shared_ptr<Timer> timer_;
    Measurement measurement_;
    std::optional<std::string> useCase_;
    std::optional<std::string> srno_;
    std::optional<std::string> pagename_;
    std::uint64_t measurementId_;  // running reports of one measurement share it, so queued ones coalesce
    ReportEncoder encoder_;
    std::optional<ProcessTarget> target_;
    std::optional<std::string> build_;
    MetricGroupSet metrics_;
    std::optional<MetricGroupSampler> metricGroups_;  // the running measurement's, when it asked for any
    std::optional<SampleReadout> latestReadout_;
    double latestReadoutAt_ = 0;
};

/// Prints "start time : " / "stop time : " with the instant rounded to whole milliseconds.
void printInstant(Console& console, const char* label, double instantMs);

/// Prints the report's console lines for its variant (none on a brief console) and posts its body (or
/// none) to the collection server; a non-zero `coalesceKey` lets a newer report with the same key replace
/// it while unsent. Answers the body's size in bytes (0 for none).
std::size_t handOffReport(ReportEncoder& encoder, const MeasurementReport& report, HandOffLines variant,
                          Console& console, CollectionServer& server, std::uint64_t coalesceKey = 0);
/// A brief console's one line per tick: sample number, system CPU, used/free memory, report size and
/// whether the last upload succeeded.
void printBriefTick(Console& console, const CollectionServer& server, std::int64_t sample, double systemCpu,
                    const SystemMemory& memory, std::size_t reportBytes);

}  // namespace perfagent

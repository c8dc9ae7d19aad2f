#pragma once

#include "collector/accumulation.hpp"
#include "collector/target.hpp"
#include "platform/platform.hpp"
#include "platform/run_loop.hpp"
#include "probes/cpu.hpp"
#include "report/measurement_report.hpp"
#include "report/report_encoder.hpp"
#include "report/sample_series.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

class CollectionServer;

/// Prints the readout lines every sampler shares ("Time Remaining In Background : " … "Percent Of System
/// Memory:") and returns the figures read on the way: the system's through `sampler`, the application
/// lines through `app` (the agent's own or a target's; none: not read, and they print 0.0).
struct SampleReadout {
    double systemCpu;
    SystemMemory memory;
    double appCpu = 0;
    double appMemory = 0;  ///< resident bytes
    int appError = 0;      ///< why the application was not read (an errno value); 0 when it was
};
SampleReadout readAndPrintSample(Platform& platform, Sampler& sampler, ProcessMeter* app);

/// @brief Runs one measurement at a time: samples the probes once per second, keeps per-sample series,
/// sums and maxima, and posts the measurement so far to the collection server after every sample.
///
/// Every operation runs on the main thread, the overall measurement's ticks too.
class MetricsCollector : public Accumulation {
public:
    MetricsCollector(Platform& platform, Probes& probes, CollectionServer& server);
    ~MetricsCollector();
    MetricsCollector(const MetricsCollector&) = delete;
    MetricsCollector& operator=(const MetricsCollector&) = delete;

    /// Begins a measurement: records the start instant, clears counter, sums, maxima and series, keeps
    /// the names and schedules the one-second sampling timer (invalidating a timer still running).
    void start(std::string useCaseName, std::string srNumber, std::string pageName);
    /// One sample: readout lines, accumulation, and the running report.
    void timerHandler();
    /// Ends the measurement: stops the timer, posts the final report, clears counter, sums and maxima.
    /// Does nothing on a collector that was never started.
    void stop();
    /// Posts an interim report of the running measurement without changing it.
    void backgroundPush();
    /// Starts an overall measurement: a fresh collector ticks at once, then once a second on a timer of
    /// the main loop until stopOverall, then that collector posts its final report. An overall measurement
    /// still running is ended first (its final report posted), so one runs at most.
    void startOverall(std::string useCaseName, std::string srNumber, std::string pageName);
    /// Ends the running overall measurement, if any: its timer stops, and its final
    /// report follows on the main queue. Clears `startStop`.
    void stopOverall();

    /// Measures `target` (nothing: only the system) in the measurements started from now on. When its
    /// process cannot be read (any more), answers why and keeps what it measured before.
    std::optional<std::string> setTarget(const std::optional<ResolvedTarget>& target);
    /// The process measured besides the system, if any.
    const ProcessTarget* target() const { return target_ ? &*target_ : nullptr; }
    /// Names the build measured in the measurements started from now on (nothing: none is named).
    void setBuild(std::optional<std::string> build) { build_ = std::move(build); }
    /// A sampling timer is running.
    bool running() const { return backgroundTimer && backgroundTimer->isValid(); }
    /// @brief The overall measurement running: its sampler and names.
    struct OverallView {
        const MetricsCollector& samples;
        const std::string& useCaseName;
        const std::string& srNumber;
        const std::string& pageName;
    };
    std::optional<OverallView> overallRunning() const;
    /// The collector sampling the running overall measurement, if any.
    MetricsCollector* overallSamples() const;
    /// Marks the sample the next tick records with `label` (checked by markerLabelProblem); its reports
    /// carry the marker from now on, until the next start. The reason when the measurement has as many
    /// markers as it may.
    std::optional<std::string> mark(std::string_view label) { return markers_.add(counter + 1, label); }

    // Fields besides the accumulation's, in declaration order.
    std::shared_ptr<Timer> backgroundTimer;
    std::optional<std::string> useCase;
    std::optional<std::string> srno;
    std::optional<std::string> pagename;
    bool startStop = true;  ///< set by startOverall, cleared by stopOverall; each run has its own stop flag
    // The target's part, used only while a target is set: app series (MB for memory), sums and maxima
    // over the samples the target was read in.
    SampleSeries appCpuDict;
    SampleSeries appMemoryDict;
    double sumAppCpu = 0;
    double sumAppMemory = 0;
    double maxAppCpu = 0;
    double maxAppMemory = 0;
    /// The latest sample's figures and when they were read (ms since 1970); app figures NaN when its
    /// target was not read.
    std::optional<SampleReadout> latestReadout;
    double latestReadoutAt = 0;

private:
    struct OverallRun;
    static void finishOverallRun(OverallRun& run);
    void finishOverall(const std::string& useCaseName, const std::string& srNumber, const std::string& pageName);

    void markEnd(const char* label);
    std::size_t handOff(const MeasurementReport& report, HandOffLines variant, std::uint64_t coalesceKey = 0);
    /// The report with this measurement's build, target and markers.
    MeasurementReport reportWithTarget(MeasurementReport report) const;
    void clearTargetPart();

    Platform& platform_;
    Probes& probes_;
    Sampler sampler_;  // this measurement's own CPU intervals and the agent's own process
    CollectionServer& server_;
    std::uint64_t measurementId_;  // running reports of one measurement share it, so queued ones coalesce
    std::shared_ptr<OverallRun> overall_;  // the overall measurement running, if any
    ReportEncoder encoder_;
    std::optional<ProcessTarget> target_;
    std::optional<std::string> build_;
    Markers markers_;
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
/// handOffReport with an encoder of its own, for samplers that report rarely.
void encodeAndHandOff(const MeasurementReport& report, HandOffLines variant, Console& console, CollectionServer& server);

}  // namespace perfagent

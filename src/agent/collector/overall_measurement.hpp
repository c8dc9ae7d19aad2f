#pragma once

#include "collector/metrics_collector.hpp"

#include <memory>
#include <optional>
#include <string>

namespace perfagent {

/// @brief The overall measurement ("startoverall" / "stopoverall"): each start runs a fresh collector that
/// ticks at once, then once a second on a timer of the main loop, until the stop; then that collector
/// posts its final report. One runs at most: a start ends the one running first.
///
/// Every operation runs on the main thread.
class OverallMeasurement {
public:
    OverallMeasurement(Platform& platform, Probes& probes, CollectionServer& server);
    ~OverallMeasurement();
    OverallMeasurement(const OverallMeasurement&) = delete;
    OverallMeasurement& operator=(const OverallMeasurement&) = delete;

    /// The target, build and metric groups of the runs started from now on (see MetricsCollector).
    Result<void> setTarget(const std::optional<ResolvedTarget>& target) { return next_.setTarget(target); }
    void setBuild(std::optional<std::string> build) { next_.setBuild(std::move(build)); }
    void setMetrics(MetricGroupSet metrics) { next_.setMetrics(metrics); }

    /// Starts a run: prints the start instant and the names; an overall measurement still running is
    /// ended first (its final report posted). The run follows the target set before.
    void start(std::string useCaseName, std::string srNumber, std::string pageName);
    /// Ends the running measurement, if any: its timer stops, and its final report follows on the main queue.
    void stop();

    /// @brief The run going on: its collector and names.
    struct Running {
        const MetricsCollector& samples;
        const std::string& useCaseName;
        const std::string& srNumber;
        const std::string& pageName;
    };
    std::optional<Running> running() const;
    /// The collector of the run going on, if any.
    MetricsCollector* runningSamples() const;

private:
    struct Run;
    static void finish(Run& run);

    Platform& platform_;
    Probes& probes_;
    CollectionServer& server_;
    MetricsCollector next_;  // holds the target, build and groups the next run takes
    std::shared_ptr<Run> run_;
};

}  // namespace perfagent

#pragma once

#include "platform/platform.hpp"
#include "platform/run_loop.hpp"
#include "probes/cpu.hpp"
#include "report/measurement_report.hpp"
#include "report/sample_series.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace perfagent {

class CollectionServer;

/// @brief Runs one measurement at a time: samples the probes once per second, keeps per-sample series,
/// sums and maxima, and posts the measurement so far to the collection server after every sample.
///
/// Every operation runs on the main thread, except that the overall loop reads `startStop` from the
/// background queue.
class MetricsCollector {
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
    /// Starts an overall measurement: a background loop requests one tick per second of a fresh
    /// collector until `startStop` turns false, then that collector posts its final report.
    void startOverall(std::string useCaseName, std::string srNumber, std::string pageName);

    // Fields, in declaration order.
    std::shared_ptr<Timer> backgroundTimer;
    std::shared_ptr<Timer> backgroundPusher;
    SampleSeries cpuDict;
    SampleSeries memoryUsedDict;
    SampleSeries memoryFreeDict;
    SampleSeries memoryCompressedDict;
    std::int64_t counter = 0;
    std::int64_t cpucounter = 0;
    std::optional<std::string> useCase;
    std::optional<std::string> srno;
    std::optional<std::string> pagename;
    double sumCpu = 0;
    double sumMemoryUsed = 0;
    double sumMemoryFree = 0;
    double sumMemoryCompressed = 0;
    double maxCpu = 0;
    double maxMemoryUsed = 0;
    double maxMemoryFree = 0;
    double maxMemoryCompressed = 0;
    double startTime = 0;
    double endTime = 0;
    std::atomic<bool> startStop{true};
    double systemCPULatest = 0;

private:
    struct OverallRun;
    static void runOverall(std::shared_ptr<OverallRun> run);
    void finishOverall(const std::string& useCaseName, const std::string& srNumber, const std::string& pageName);

    void markEnd(const char* label);

    Platform& platform_;
    Probes& probes_;
    CollectionServer& server_;
};

/// Prints the readout lines every sampler shares ("Time Remaining In Background : " … "Percent Of System
/// Memory:") and returns the system CPU figure and memory split read on the way.
struct SampleReadout {
    double systemCpu;
    SystemMemory memory;
};
SampleReadout readAndPrintSample(Platform& platform, Probes& probes);

/// Prints "start time : " / "stop time : " with the instant rounded to whole milliseconds.
void printInstant(Console& console, const char* label, double instantMs);

}  // namespace perfagent

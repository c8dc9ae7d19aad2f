#include "collector/metrics_collector.hpp"

#include "collector/accumulation.hpp"
#include "platform/text.hpp"
#include "report/collection_server.hpp"

#include <cmath>

namespace perfagent {

namespace {

constexpr double kSampleIntervalSeconds = 1.0;

std::string labelled(const char* label, double value) {
    std::string line = label;
    appendDoubleText(line, value);
    return line;
}

}  // namespace

void printInstant(Console& console, const char* label, double instantMs) {
    console.println(labelled(label, roundHalfAwayFromZero(instantMs)));
}

SampleReadout readAndPrintSample(Platform& platform, Probes& probes) {
    Console& console = platform.console;
    console.println(labelled("Time Remaining In Background : ", platform.application.backgroundTimeRemaining()));
    console.println(labelled("Application CPU: ", probes.cpu.appUsage()));
    const double systemCpu = systemCpuFigure(probes.cpu.systemUsage());
    console.println(labelled("System CPU: ", systemCpu));
    console.println(labelled("Application Memory: ", probes.memory.appMemory().resident));
    const SystemMemory memory = probes.memory.systemMemory();
    console.println("System Memory: " + systemMemoryText(memory));
    console.println(labelled("Used System Memory:", usedMemory(memory)));
    console.println(labelled("Percent Of System Memory:", percentOfSystemMemory(memory)));
    return {systemCpu, memory};
}

MetricsCollector::MetricsCollector(Platform& platform, Probes& probes, CollectionServer& server)
    : platform_(platform), probes_(probes), server_(server) {}

MetricsCollector::~MetricsCollector() {
    // The timer's block refers to this collector; it must not outlive it.
    if (backgroundTimer) backgroundTimer->invalidate();
}

void MetricsCollector::start(std::string useCaseName, std::string srNumber, std::string pageName) {
    startTime = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, "start time : ", startTime);
    resetAccumulators(*this);
    clearSeries(*this);
    useCase = std::move(useCaseName);
    srno = std::move(srNumber);
    pagename = std::move(pageName);
    // A timer from an earlier start would otherwise keep sampling into this measurement forever.
    if (backgroundTimer) backgroundTimer->invalidate();
    backgroundTimer = platform_.runLoop.scheduleRepeating(kSampleIntervalSeconds, [this] { timerHandler(); });
}

void MetricsCollector::timerHandler() {
    const SampleReadout sample = readAndPrintSample(platform_, probes_);
    if (!std::isnan(sample.systemCpu)) systemCPULatest = sample.systemCpu;

    platform_.console.println(labelled("Testing cpu data:", systemCPULatest));
    accumulateSample(*this, systemCPULatest, sample.memory);
    cpucounter += 1;

    thread_local std::string line;  // kept between ticks: it grows with the measurement
    line.assign("CPU DICT: ");
    appendOptionalMapText(line, cpuDict);
    line += " ** Memory USED DICT: ";
    appendOptionalMapText(line, memoryUsedDict);
    line += " ** Memory Free DICT: ";
    appendOptionalMapText(line, memoryFreeDict);
    line += " **  Memory Compressed DICT: ";
    appendOptionalMapText(line, memoryCompressedDict);
    line += " ** ";
    platform_.console.println(line);

    // The running report: the whole measurement so far, once per sample.
    endTime = nowMilliseconds(platform_.clock);
    encodeAndHandOff(reportOf(*this, useCase, srno, pagename),
                     kRunningReportLines, platform_.console, server_);
}

void MetricsCollector::stop() {
    if (!backgroundTimer) return;
    markEnd("stop time : ");
    platform_.console.println("entered stoping");
    backgroundTimer->invalidate();
    platform_.console.println("pagename:" + optionalText(pagename));
    encodeAndHandOff(reportOf(*this, useCase, srno, pagename),
                     kFinalReportLines, platform_.console, server_);
    resetAccumulators(*this);
}

void MetricsCollector::backgroundPush() {
    markEnd("stop time : ");
    // The interim report averages over this measurement's samples, like every other report; the
    // lifetime tick count would mix in samples of earlier measurements.
    encodeAndHandOff(reportOf(*this, useCase, srno, std::nullopt),
                     kInterimReportLines, platform_.console, server_);
}

struct MetricsCollector::OverallRun {
    MetricsCollector* owner;  // the collector whose startStop flag ends the loop; lives for the process
    std::shared_ptr<MetricsCollector> samples;
    std::string useCaseName;
    std::string srNumber;
    std::string pageName;
};

void MetricsCollector::startOverall(std::string useCaseName, std::string srNumber, std::string pageName) {
    const double startInstant = nowMilliseconds(platform_.clock);
    startTime = startInstant;
    printInstant(platform_.console, "start time : ", startInstant);
    platform_.console.println("UsecaseName************ : " + consoleText(useCaseName));
    platform_.console.println("SrNo************ : " + consoleText(srNumber));
    platform_.console.println("PageName************ : " + consoleText(pageName));

    auto samples = std::make_shared<MetricsCollector>(platform_, probes_, server_);
    // The fresh collector's durations run from the instant printed above, not from 1970.
    samples->startTime = startInstant;
    auto run = std::make_shared<OverallRun>(
        OverallRun{this, std::move(samples), std::move(useCaseName), std::move(srNumber), std::move(pageName)});
    platform_.runLoop.backgroundAsync([run] { runOverall(run); });
}

void MetricsCollector::runOverall(std::shared_ptr<OverallRun> run) {
    // One step of the background loop: while the flag holds, request a tick on the main queue and look
    // again a second later. No thread sleeps, so any number of loops can run side by side.
    RunLoop& loop = run->owner->platform_.runLoop;
    if (run->owner->startStop.load()) {
        loop.async([samples = run->samples] { samples->timerHandler(); });
        loop.backgroundAfter(kSampleIntervalSeconds, [run] { runOverall(run); });
        return;
    }
    // Queued behind the last tick this loop requested, so the final report never overlaps a tick.
    loop.async([run] { run->samples->finishOverall(run->useCaseName, run->srNumber, run->pageName); });
}

void MetricsCollector::finishOverall(const std::string& useCaseName, const std::string& srNumber,
                                     const std::string& pageName) {
    markEnd("stop time : ");
    platform_.console.println("entered stoping");
    platform_.console.println("pagename*****:" + consoleText(pageName));
    platform_.console.println("UsecaseName*****:" + consoleText(useCaseName));
    platform_.console.println("SrNo*****:" + consoleText(srNumber));
    platform_.console.println("test cpuhash : " + optionalMapText(cpuDict) + " : " + std::to_string(counter));
    encodeAndHandOff(reportOf(*this, useCaseName, srNumber, pageName),
                     kFinalReportLines, platform_.console, server_);
    resetAccumulators(*this);
}

void MetricsCollector::markEnd(const char* label) {
    endTime = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, label, endTime);
}

}  // namespace perfagent

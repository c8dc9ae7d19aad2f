#include "collector/metrics_collector.hpp"

#include "collector/accumulation.hpp"
#include "report/text.hpp"
#include "report/collection_server.hpp"

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace perfagent {

namespace {

constexpr double kSampleIntervalSeconds = 1.0;

std::uint64_t nextMeasurementId() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1) + 1;
}

std::string labelled(const char* label, double value) {
    std::string line = label;
    appendDoubleText(line, value);
    return line;
}

}  // namespace

void printInstant(Console& console, const char* label, double instantMs) {
    console.println(labelled(label, roundHalfAwayFromZero(instantMs)));
}

SampleReadout readAndPrintSample(Platform& platform, Sampler& sampler, ProcessMeter* app) {
    // A brief console reads the same figures (the app series need them) and prints none of them.
    const bool print = !platform.console.brief();
    const auto say = [&](const std::string& line) { platform.console.println(line); };
    if (print) say(labelled("Time Remaining In Background : ", platform.application.backgroundTimeRemaining()));
    double appCpu = 0.0;
    double appMemory = 0.0;
    int appError = ENOENT;
    if (app) {
        const auto figures = app->read();
        if (figures) {
            appCpu = figures->cpu;
            appMemory = figures->resident;
            appError = 0;
        } else {
            appError = figures.error().code.value();
        }
    }
    if (print) say(labelled("Application CPU: ", appCpu));
    const Sampler::System system = sampler.readSystem();
    const double systemCpu = systemCpuFigure(system.cpu);
    if (print) say(labelled("System CPU: ", systemCpu));
    if (print) say(labelled("Application Memory: ", appMemory));
    const SystemMemory& memory = system.memory;
    if (print) {
        say("System Memory: " + systemMemoryText(memory));
        say(labelled("Used System Memory:", usedMemory(memory)));
        say(labelled("Percent Of System Memory:", percentOfSystemMemory(memory)));
    }
    return {systemCpu, memory, appCpu, appMemory, appError};
}

std::size_t handOffReport(ReportEncoder& encoder, const MeasurementReport& report, HandOffLines variant,
                          Console& console, CollectionServer& server, std::uint64_t coalesceKey) {
    auto encoded = encoder.encode(report, console.brief() ? kInterimReportLines : variant, server.spareBody());
    if (!console.brief())
        for (auto& line : encoded.lines) console.printPieces(std::move(line));
    const std::size_t bytes = encoded.body ? encoded.body->size() : 0;
    server.postReport(std::move(encoded.body), coalesceKey);
    return bytes;
}

void printBriefTick(Console& console, const CollectionServer& server, std::int64_t sample, double systemCpu,
                    const SystemMemory& memory, std::size_t reportBytes) {
    const auto last = server.lastUploadSucceeded();
    char line[200];
    std::snprintf(line, sizeof line,
                  "sample %lld: system CPU %.1f %%, memory used %.0f MB free %.0f MB, report %zu bytes, last upload %s",
                  static_cast<long long>(sample), systemCpu, usedMemory(memory) * kMegabytesPerByte,
                  memory.free * kMegabytesPerByte, reportBytes, !last ? "none yet" : *last ? "ok" : "failed");
    console.println(line);
}

void encodeAndHandOff(const MeasurementReport& report, HandOffLines variant, Console& console,
                      CollectionServer& server) {
    ReportEncoder encoder;
    handOffReport(encoder, report, variant, console, server);
}

MetricsCollector::MetricsCollector(Platform& platform, Probes& probes, CollectionServer& server)
    : platform_(platform), probes_(probes), sampler_(probes), server_(server), measurementId_(nextMeasurementId()) {}

MetricsCollector::~MetricsCollector() {
    // The timer's block refers to this collector; it must not outlive it.
    if (backgroundTimer) backgroundTimer->invalidate();
}

void MetricsCollector::start(std::string useCaseName, std::string srNumber, std::string pageName) {
    startTime = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, "start time : ", startTime);
    resetAccumulators(*this);
    clearSeries(*this);
    clearTargetPart();
    markers_.clear();
    useCase = std::move(useCaseName);
    srno = std::move(srNumber);
    pagename = std::move(pageName);
    measurementId_ = nextMeasurementId();
    // The first sample's CPU covers this measurement's first second.
    sampler_.restart();
    // A timer from an earlier start would otherwise keep sampling into this measurement forever.
    if (backgroundTimer) backgroundTimer->invalidate();
    backgroundTimer = platform_.runLoop.scheduleRepeating(kSampleIntervalSeconds, [this] { timerHandler(); });
}

void MetricsCollector::timerHandler() {
    // With a target, the application lines are its figures, read through its own probes.
    const bool targetThere = target_ && target_->begin(platform_);
    ProcessMeter* app = !target_ ? &sampler_.self() : targetThere ? target_->meter() : nullptr;
    SampleReadout sample = readAndPrintSample(platform_, sampler_, app);
    // A first reading or an interval of no length gives no CPU figure: the sample stays missing.
    const bool appFigures = target_ && target_->end(platform_, sample.appError) && targetThere && !std::isnan(sample.appCpu);
    if (!std::isnan(sample.systemCpu)) systemCPULatest = sample.systemCpu;

    accumulateSample(*this, systemCPULatest, sample.memory);
    if (appFigures) {
        // A sample the target was not read in stays missing from the app series, never a zero.
        const double memoryMB = sample.appMemory * kMegabytesPerByte;
        appCpuDict.set(counter, sample.appCpu);
        appMemoryDict.set(counter, memoryMB);
        sumAppCpu += sample.appCpu;
        sumAppMemory += memoryMB;
        maxAppCpu = std::max(maxAppCpu, sample.appCpu);
        maxAppMemory = std::max(maxAppMemory, memoryMB);
    } else if (target_) {
        sample.appCpu = sample.appMemory = std::nan("");
    }
    latestReadout = sample;
    latestReadoutAt = nowMilliseconds(platform_.clock);

    // The running report: the whole measurement so far, once per sample. A newer one replaces it while
    // it waits to be sent.
    endTime = nowMilliseconds(platform_.clock);
    if (platform_.console.brief()) {
        const auto bytes = handOff(reportWithTarget(reportOf(*this, useCase, srno, pagename)), kRunningReportLines, measurementId_);
        return printBriefTick(platform_.console, server_, counter, systemCPULatest, sample.memory, bytes);
    }

    platform_.console.println(labelled("Testing cpu data:", systemCPULatest));
    LinePieces dictionaries("CPU DICT: ");
    appendOptionalMapText(dictionaries, cpuDict);
    dictionaries.text() += " ** Memory USED DICT: ";
    appendOptionalMapText(dictionaries, memoryUsedDict);
    dictionaries.text() += " ** Memory Free DICT: ";
    appendOptionalMapText(dictionaries, memoryFreeDict);
    dictionaries.text() += " **  Memory Compressed DICT: ";
    appendOptionalMapText(dictionaries, memoryCompressedDict);
    dictionaries.text() += " ** ";
    platform_.console.printPieces(std::move(dictionaries));
    handOff(reportWithTarget(reportOf(*this, useCase, srno, pagename)), kRunningReportLines, measurementId_);
}

std::size_t MetricsCollector::handOff(const MeasurementReport& report, HandOffLines variant,
                                      std::uint64_t coalesceKey) {
    return handOffReport(encoder_, report, variant, platform_.console, server_, coalesceKey);
}

void MetricsCollector::stop() {
    if (!backgroundTimer) return;
    markEnd("stop time : ");
    platform_.console.println("entered stoping");
    backgroundTimer->invalidate();
    platform_.console.println("pagename:" + optionalText(pagename));
    handOff(reportWithTarget(reportOf(*this, useCase, srno, pagename)), kFinalReportLines);
    resetAccumulators(*this);
    if (target_) target_->close();
}

void MetricsCollector::backgroundPush() {
    markEnd("stop time : ");
    // The interim report averages over this measurement's samples, like every other report; the
    // lifetime tick count would mix in samples of earlier measurements.
    handOff(reportWithTarget(reportOf(*this, useCase, srno, std::nullopt)), kInterimReportLines);
}

struct MetricsCollector::OverallRun {
    std::shared_ptr<MetricsCollector> samples;
    std::string useCaseName;
    std::string srNumber;
    std::string pageName;
    bool stopped = false;  // a tick already queued when the run ended does nothing
};

void MetricsCollector::startOverall(std::string useCaseName, std::string srNumber, std::string pageName) {
    // One still running ends here, its final report first, so that a burst of starts never leaves
    // measurements sampling side by side.
    if (const auto running = std::exchange(overall_, nullptr)) finishOverallRun(*running);
    startStop = true;
    const double startInstant = nowMilliseconds(platform_.clock);
    startTime = startInstant;
    printInstant(platform_.console, "start time : ", startInstant);
    platform_.console.println("UsecaseName************ : " + consoleText(useCaseName));
    platform_.console.println("SrNo************ : " + consoleText(srNumber));
    platform_.console.println("PageName************ : " + consoleText(pageName));

    auto samples = std::make_shared<MetricsCollector>(platform_, probes_, server_);
    // The fresh collector's durations run from the instant printed above, not from 1970.
    samples->startTime = startInstant;
    samples->target_ = std::move(target_);  // the overall measurement follows it from now on
    samples->build_ = build_;
    // The first tick is at once; its CPU covers the time since the agent's previous reading.
    samples->sampler_.restartFromAgentReading();
    overall_ = std::make_shared<OverallRun>(
        OverallRun{std::move(samples), std::move(useCaseName), std::move(srNumber), std::move(pageName)});
    // The first tick queued behind the command's own lines, then one a second on the main loop's timer,
    // which the run's collector owns (the run is named weakly, so neither keeps the other alive).
    const auto tick = [run = std::weak_ptr<OverallRun>(overall_)] {
        if (const auto live = run.lock(); live && !live->stopped) live->samples->timerHandler();
    };
    platform_.runLoop.async(tick);
    overall_->samples->backgroundTimer = platform_.runLoop.scheduleRepeating(kSampleIntervalSeconds, tick);
}

void MetricsCollector::stopOverall() {
    startStop = false;
    const auto run = std::exchange(overall_, nullptr);
    if (!run) return;
    run->stopped = true;
    run->samples->backgroundTimer->invalidate();
    // Queued behind the command's own lines, so the final report follows them.
    platform_.runLoop.async([run] { finishOverallRun(*run); });
}

void MetricsCollector::finishOverallRun(OverallRun& run) {
    run.stopped = true;
    run.samples->backgroundTimer->invalidate();
    run.samples->finishOverall(run.useCaseName, run.srNumber, run.pageName);
}

void MetricsCollector::finishOverall(const std::string& useCaseName, const std::string& srNumber,
                                     const std::string& pageName) {
    markEnd("stop time : ");
    platform_.console.println("entered stoping");
    platform_.console.println("pagename*****:" + consoleText(pageName));
    platform_.console.println("UsecaseName*****:" + consoleText(useCaseName));
    platform_.console.println("SrNo*****:" + consoleText(srNumber));
    std::string line = "test cpuhash : ";
    appendOptionalMapText(line, cpuDict);
    line += " : " + std::to_string(counter);
    if (!platform_.console.brief()) platform_.console.println(line);
    handOff(reportWithTarget(reportOf(*this, useCaseName, srNumber, pageName)), kFinalReportLines);
    resetAccumulators(*this);
    if (target_) target_->close();
}

std::optional<std::string> MetricsCollector::setTarget(const std::optional<ResolvedTarget>& target) {
    if (!target) {
        target_.reset();
        return std::nullopt;
    }
    std::string whyNot;
    auto found = ProcessTarget::follow(probes_.source(), *target, whyNot);
    if (!found) return whyNot;
    target_ = std::move(found);
    return std::nullopt;
}

std::optional<MetricsCollector::OverallView> MetricsCollector::overallRunning() const {
    if (!overall_) return std::nullopt;
    return OverallView{*overall_->samples, overall_->useCaseName, overall_->srNumber, overall_->pageName};
}

MetricsCollector* MetricsCollector::overallSamples() const { return overall_ ? overall_->samples.get() : nullptr; }

MeasurementReport MetricsCollector::reportWithTarget(MeasurementReport report) const {
    report.build = reportName(build_);
    report.markers = &markers_;
    if (!target_) return report;
    // Averages over the samples the target was read in; none yet gives 0, so the report stays sendable.
    const auto average = [](double sum, const SampleSeries& series) {
        return series.empty() ? 0.0 : sum / static_cast<double>(series.size());
    };
    report.target = MeasurementReport::Target{.name = target_->name(),
                                              .pid = target_->pid(),
                                              .appCpu = &appCpuDict,
                                              .appMemory = &appMemoryDict,
                                              .averageappcpu = average(sumAppCpu, appCpuDict),
                                              .maxappcpu = maxAppCpu,
                                              .averageappmemory = average(sumAppMemory, appMemoryDict),
                                              .maxappmemory = maxAppMemory};
    return report;
}

void MetricsCollector::clearTargetPart() {
    appCpuDict.clear();
    appMemoryDict.clear();
    sumAppCpu = sumAppMemory = maxAppCpu = maxAppMemory = 0;
}

void MetricsCollector::markEnd(const char* label) {
    endTime = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, label, endTime);
}

}  // namespace perfagent

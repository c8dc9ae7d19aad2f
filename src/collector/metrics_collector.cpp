#include "collector/metrics_collector.hpp"

#include "collector/accumulation.hpp"
#include "report/text.hpp"
#include "report/collection_server.hpp"

#include <atomic>
#include <algorithm>
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

SampleReadout readAndPrintSample(Platform& platform, Probes& probes, Probes* appProbes) {
    Probes& app = appProbes ? *appProbes : probes;
    // A brief console reads the same figures (the app series need them) and prints none of them.
    const bool print = !platform.console.brief();
    const auto say = [&](const std::string& line) { platform.console.println(line); };
    if (print) say(labelled("Time Remaining In Background : ", platform.application.backgroundTimeRemaining()));
    const double appCpu = app.cpu.appUsage();
    if (print) say(labelled("Application CPU: ", appCpu));
    const double systemCpu = systemCpuFigure(probes.cpu.systemUsage());
    if (print) say(labelled("System CPU: ", systemCpu));
    const double appMemory = app.memory.appMemory().resident;
    if (print) say(labelled("Application Memory: ", appMemory));
    const SystemMemory memory = probes.memory.systemMemory();
    if (print) {
        say("System Memory: " + systemMemoryText(memory));
        say(labelled("Used System Memory:", usedMemory(memory)));
        say(labelled("Percent Of System Memory:", percentOfSystemMemory(memory)));
    }
    return {systemCpu, memory, appCpu, appMemory};
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
    : platform_(platform), probes_(probes), server_(server), measurementId_(nextMeasurementId()) {}

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
    useCase = std::move(useCaseName);
    srno = std::move(srNumber);
    pagename = std::move(pageName);
    measurementId_ = nextMeasurementId();
    // The first sample's system CPU covers this measurement's first second, not the time since
    // whatever read the host ticks last.
    probes_.cpu.systemUsage();
    // A timer from an earlier start would otherwise keep sampling into this measurement forever.
    if (backgroundTimer) backgroundTimer->invalidate();
    backgroundTimer = platform_.runLoop.scheduleRepeating(kSampleIntervalSeconds, [this] { timerHandler(); });
}

void MetricsCollector::timerHandler() {
    // With a target, the application lines are its figures, read through its own probes.
    const bool targetThere = target_ && target_->begin(platform_);
    SampleReadout sample = readAndPrintSample(platform_, probes_, target_ ? &target_->probes() : nullptr);
    const bool appFigures = target_ && target_->end(platform_) && targetThere;
    if (!std::isnan(sample.systemCpu)) systemCPULatest = sample.systemCpu;

    accumulateSample(*this, systemCPULatest, sample.memory);
    cpucounter += 1;
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
}

void MetricsCollector::backgroundPush() {
    markEnd("stop time : ");
    // The interim report averages over this measurement's samples, like every other report; the
    // lifetime tick count would mix in samples of earlier measurements.
    handOff(reportWithTarget(reportOf(*this, useCase, srno, std::nullopt)), kInterimReportLines);
}

struct MetricsCollector::OverallRun {
    Platform& platform;
    std::shared_ptr<MetricsCollector> samples;
    std::string useCaseName;
    std::string srNumber;
    std::string pageName;
    std::atomic<bool> stopped{false};  // set on the main thread, read by the loop's steps
};

void MetricsCollector::startOverall(std::string useCaseName, std::string srNumber, std::string pageName) {
    // Each overall measurement has its own stop flag. One still running ends here, its final report
    // first, so that a burst of starts never leaves loops sampling side by side.
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
    samples->target_ = std::move(target_);  // the overall loop follows it from now on
    samples->build_ = build_;
    probes_.cpu.systemUsage();  // the first sample's system CPU covers this measurement only
    overall_ = std::shared_ptr<OverallRun>(new OverallRun{platform_, std::move(samples), std::move(useCaseName),
                                                          std::move(srNumber), std::move(pageName)});
    platform_.runLoop.backgroundAsync([run = overall_] { runOverall(run); });
}

void MetricsCollector::stopOverall() {
    startStop = false;
    const auto run = std::exchange(overall_, nullptr);
    if (!run) return;
    run->stopped = true;
    // Queued behind the command's own lines and behind any tick the loop already requested (which the
    // stop flag turns into nothing), so the final report never overlaps a tick.
    platform_.runLoop.async([run] { finishOverallRun(*run); });
}

void MetricsCollector::finishOverallRun(OverallRun& run) {
    run.stopped = true;
    run.samples->finishOverall(run.useCaseName, run.srNumber, run.pageName);
}

void MetricsCollector::runOverall(std::shared_ptr<OverallRun> run) {
    // One step of the background loop: until the run is stopped, request a tick on the main queue and
    // look again a second later. No thread sleeps, so steps of several runs could share the queue.
    if (run->stopped.load()) return;
    RunLoop& loop = run->platform.runLoop;
    loop.async([run] {
        if (!run->stopped.load()) run->samples->timerHandler();
    });
    loop.backgroundAfter(kSampleIntervalSeconds, [run] { runOverall(run); });
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
}

std::optional<std::string> MetricsCollector::setTarget(const std::optional<ResolvedTarget>& target) {
    if (!target) {
        target_.reset();
        return std::nullopt;
    }
    std::string whyNot;
    auto found = ProcessTarget::follow(probes_.kernel(), *target, whyNot);
    if (!found) return whyNot;
    target_ = std::move(found);
    return std::nullopt;
}

std::optional<MetricsCollector::OverallView> MetricsCollector::overallRunning() const {
    if (!overall_) return std::nullopt;
    return OverallView{*overall_->samples, overall_->useCaseName, overall_->srNumber, overall_->pageName};
}

MeasurementReport MetricsCollector::reportWithTarget(MeasurementReport report) const {
    report.build = reportName(build_);
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

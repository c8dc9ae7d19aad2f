#include "collector/metrics_collector.hpp"

#include "base/text.hpp"
#include "report/collection_server.hpp"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

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

SampleReadout readAndPrintSample(Platform& platform, Sampler& sampler, ProcessMeter* app, const SeriesGroups& groups,
                                 MetricGroupSampler* metrics) {
    // A brief console reads the same figures (the app series need them) and prints none of them.
    const bool print = !platform.console.brief();
    const auto say = [&](const std::string& line) { platform.console.println(line); };
    // A Linux process is never suspended for being in the background: no limit, the largest finite double.
    if (print) say(labelled("Time Remaining In Background : ", std::numeric_limits<double>::max()));
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
    SampleReadout readout{systemCpu, memory, appCpu, appMemory, appError};
    if (metrics) readout.metrics = metrics->read();
    if (print)
        for (const SeriesDeclaration& declared : kSeries)
            if (declared.consoleLabel && groups.has(declared.group))
                say(labelled(declared.consoleLabel, declared.read(readout)));
    return readout;
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

MetricsCollector::MetricsCollector(Platform& platform, Probes& probes, CollectionServer& server)
    : platform_(platform), probes_(probes), sampler_(probes), server_(server), measurementId_(nextMeasurementId()) {}

MetricsCollector::~MetricsCollector() {
    // The timer's block refers to this collector; it must not outlive it.
    if (timer_) timer_->invalidate();
}

void MetricsCollector::start(std::string useCaseName, std::string srNumber, std::string pageName) {
    const double startTime = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, "start time : ", startTime);
    measurement_.start(startTime, openMetricGroups());
    useCase_ = std::move(useCaseName);
    srno_ = std::move(srNumber);
    pagename_ = std::move(pageName);
    measurementId_ = nextMeasurementId();
    // The first sample's CPU covers this measurement's first second.
    sampler_.restart();
    // A timer from an earlier start would otherwise keep sampling into this measurement forever.
    if (timer_) timer_->invalidate();
    timer_ = platform_.runLoop.scheduleRepeating(kSampleIntervalSeconds, [this] { timerHandler(); });
}

void MetricsCollector::timerHandler() {
    // With a target, the application lines are its figures, read through its own probes.
    const bool targetThere = target_ && target_->begin(platform_);
    ProcessMeter* app = !target_ ? &sampler_.self() : targetThere ? target_->meter() : nullptr;
    SampleReadout sample = readAndPrintSample(platform_, sampler_, app, measurement_.groups(),
                                              metricGroups_ ? &*metricGroups_ : nullptr);
    // A first reading or an interval of no length gives no CPU figure: the sample stays missing.
    const bool appFigures = target_ && target_->end(platform_, sample.appError) && targetThere && !std::isnan(sample.appCpu);
    // A sample the target was not read in stays missing from the app series, never a zero.
    if (target_ && !appFigures) sample.appCpu = sample.appMemory = std::nan("");
    measurement_.add(sample, target_.has_value());
    latestReadout_ = sample;
    latestReadoutAt_ = nowMilliseconds(platform_.clock);

    // The running report: the whole measurement so far, once per sample. A newer one replaces it while
    // it waits to be sent.
    measurement_.setEndTime(nowMilliseconds(platform_.clock));
    const double systemCpu = measurement_.latest(kCpuSeries);
    if (platform_.console.brief()) {
        const auto bytes = handOff(reportOf(useCase_, srno_, pagename_), kRunningReportLines, measurementId_);
        return printBriefTick(platform_.console, server_, measurement_.samples(), systemCpu, sample.memory, bytes);
    }
    platform_.console.println(labelled("Testing cpu data:", systemCpu));
    printDictionaries();
    handOff(reportOf(useCase_, srno_, pagename_), kRunningReportLines, measurementId_);
}

void MetricsCollector::printDictionaries() {
    LinePieces line;
    for (std::size_t i = 0; i < kSeriesCount; ++i) {
        if (!kSeries[i].dictionaryLabel || !recordsSeries(i, measurement_.groups(), target_.has_value())) continue;
        line.text() += kSeries[i].dictionaryLabel;
        appendOptionalMapText(line, measurement_.series(i));
    }
    line.text() += " ** ";
    platform_.console.printPieces(std::move(line));
}

std::size_t MetricsCollector::handOff(const MeasurementReport& report, HandOffLines variant,
                                      std::uint64_t coalesceKey) {
    return handOffReport(encoder_, report, variant, platform_.console, server_, coalesceKey);
}

void MetricsCollector::stop() {
    if (!timer_) return;
    markEnd("stop time : ");
    platform_.console.println("entered stoping");
    timer_->invalidate();
    platform_.console.println("pagename:" + optionalText(pagename_));
    handOff(reportOf(useCase_, srno_, pagename_), kFinalReportLines);
    measurement_.resetFigures();
    if (target_) target_->close();
}

void MetricsCollector::backgroundPush() {
    markEnd("stop time : ");
    // The interim report averages over this measurement's samples, like every other report; the
    // lifetime tick count would mix in samples of earlier measurements.
    handOff(reportOf(useCase_, srno_, std::nullopt), kInterimReportLines);
}

void MetricsCollector::startTicking(MetricsCollector& from, double startMs, std::function<void()> tick) {
    target_ = std::move(from.target_);
    build_ = from.build_;
    metrics_ = from.metrics_;
    measurement_.start(startMs, openMetricGroups());  // the app group reads the target taken over above
    sampler_.restartFromAgentReading();
    // The first tick queued behind the command's own lines, then one a second.
    platform_.runLoop.async(tick);
    if (timer_) timer_->invalidate();
    timer_ = platform_.runLoop.scheduleRepeating(kSampleIntervalSeconds, std::move(tick));
}

void MetricsCollector::finishTicking(const std::string& useCaseName, const std::string& srNumber,
                                     const std::string& pageName) {
    if (timer_) timer_->invalidate();
    markEnd("stop time : ");
    Console& console = platform_.console;
    console.println("entered stoping");
    console.println("pagename*****:" + consoleText(pageName));
    console.println("UsecaseName*****:" + consoleText(useCaseName));
    console.println("SrNo*****:" + consoleText(srNumber));
    std::string line = "test cpuhash : ";
    appendOptionalMapText(line, measurement_.series(kCpuSeries));
    line += " : " + std::to_string(measurement_.samples());
    if (!console.brief()) console.println(line);
    handOff(reportOf(useCaseName, srNumber, pageName), kFinalReportLines);
    measurement_.resetFigures();
    if (target_) target_->close();
}

Result<void> MetricsCollector::setTarget(const std::optional<ResolvedTarget>& target) {
    if (!target) {
        target_.reset();
        return {};
    }
    auto found = ProcessTarget::follow(probes_.source(), *target);
    if (!found) return found.error();
    target_ = std::move(*found);
    return {};
}

MeasurementReport MetricsCollector::reportOf(const std::optional<std::string>& useCaseName,
                                             const std::optional<std::string>& srNumber,
                                             const std::optional<std::string>& pageName) const {
    std::optional<Measurement::TargetName> target;
    if (target_) target = Measurement::TargetName{target_->name(), target_->pid()};
    MeasurementReport report = measurement_.report(useCaseName, srNumber, pageName, std::move(target));
    report.build = reportName(build_);
    return report;
}

SeriesGroups MetricsCollector::openMetricGroups() {
    metricGroups_.reset();
    SeriesGroups groups;
    if (metrics_.empty()) return groups;
    // The app group reads the target's process as it is now.
    ProcSource& source = probes_.source();
    metricGroups_.emplace(metrics_, target_ ? target_->pid() : 0, source.metricsRoot(), [&source] { return source.nowNs(); });
    for (const std::string& why : metricGroups_->leftOut()) {
        const std::string line = "metrics: " + why + "; left out";
        platform_.console.println(line);
        if (platform_.diagnostics) platform_.diagnostics("perfagent: " + line);
    }
    for (const GroupSeries series : metricGroups_->series()) groups.with(seriesGroupOf(series));
    return groups;
}

void MetricsCollector::markEnd(const char* label) {
    measurement_.setEndTime(nowMilliseconds(platform_.clock));
    printInstant(platform_.console, label, measurement_.endTime());
}

}  // namespace perfagent

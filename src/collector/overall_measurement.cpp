#include "collector/overall_measurement.hpp"

#include "report/text.hpp"

namespace perfagent {

namespace {

constexpr double kTickSeconds = 1.0;

}  // namespace

struct OverallMeasurement::Run {
    Run(Platform& platform, Probes& probes, CollectionServer& server, std::string useCase, std::string sr,
        std::string page)
        : samples(platform, probes, server), useCaseName(std::move(useCase)), srNumber(std::move(sr)),
          pageName(std::move(page)) {}

    MetricsCollector samples;
    std::string useCaseName;
    std::string srNumber;
    std::string pageName;
    bool stopped = false;  // a tick already queued when the run ended does nothing
};

OverallMeasurement::OverallMeasurement(Platform& platform, Probes& probes, CollectionServer& server)
    : platform_(platform), probes_(probes), server_(server), next_(platform, probes, server) {}

// The run's collector invalidates its timer when it goes.
OverallMeasurement::~OverallMeasurement() = default;

void OverallMeasurement::start(std::string useCaseName, std::string srNumber, std::string pageName) {
    // One still running ends here, its final report first, so that a burst of starts never leaves
    // measurements sampling side by side.
    if (const auto running = std::exchange(run_, nullptr)) finish(*running);
    const double startInstant = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, "start time : ", startInstant);
    platform_.console.println("UsecaseName************ : " + consoleText(useCaseName));
    platform_.console.println("SrNo************ : " + consoleText(srNumber));
    platform_.console.println("PageName************ : " + consoleText(pageName));

    run_ = std::make_shared<Run>(platform_, probes_, server_, std::move(useCaseName), std::move(srNumber),
                                 std::move(pageName));
    MetricsCollector& samples = run_->samples;
    // The run's durations run from the instant printed above.
    samples.measurement_.start(startInstant, next_.groups_);
    samples.target_ = std::move(next_.target_);  // the run follows it from now on
    samples.build_ = next_.build_;
    // The first tick is at once; its CPU covers the time since the agent's previous reading.
    samples.sampler_.restartFromAgentReading();
    // The first tick queued behind the command's own lines, then one a second on the main loop's timer,
    // which the run's collector owns (the run is named weakly, so neither keeps the other alive).
    const auto tick = [run = std::weak_ptr<Run>(run_)] {
        if (const auto live = run.lock(); live && !live->stopped) live->samples.timerHandler();
    };
    platform_.runLoop.async(tick);
    samples.timer_ = platform_.runLoop.scheduleRepeating(kTickSeconds, tick);
}

void OverallMeasurement::stop() {
    const auto run = std::exchange(run_, nullptr);
    if (!run) return;
    run->stopped = true;
    run->samples.timer_->invalidate();
    // Queued behind the command's own lines, so the final report follows them.
    platform_.runLoop.async([run] { finish(*run); });
}

void OverallMeasurement::finish(Run& run) {
    run.stopped = true;
    MetricsCollector& c = run.samples;
    c.timer_->invalidate();
    c.markEnd("stop time : ");
    Console& console = c.platform_.console;
    console.println("entered stoping");
    console.println("pagename*****:" + consoleText(run.pageName));
    console.println("UsecaseName*****:" + consoleText(run.useCaseName));
    console.println("SrNo*****:" + consoleText(run.srNumber));
    std::string line = "test cpuhash : ";
    appendOptionalMapText(line, c.measurement_.series(kCpuSeries));
    line += " : " + std::to_string(c.measurement_.samples());
    if (!console.brief()) console.println(line);
    c.handOff(c.reportOf(run.useCaseName, run.srNumber, run.pageName), kFinalReportLines);
    c.measurement_.resetFigures();
    if (c.target_) c.target_->close();
}

std::optional<OverallMeasurement::Running> OverallMeasurement::running() const {
    if (!run_) return std::nullopt;
    return Running{run_->samples, run_->useCaseName, run_->srNumber, run_->pageName};
}

MetricsCollector* OverallMeasurement::runningSamples() const { return run_ ? &run_->samples : nullptr; }

}  // namespace perfagent

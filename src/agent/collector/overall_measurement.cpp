#include "collector/overall_measurement.hpp"

#include "base/text.hpp"

namespace perfagent {

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
    // The run's durations run from the instant printed above; it follows the target set before. Its ticks
    // name the run weakly, so that the collector's timer and the run keep neither the other alive.
    run_->samples.startTicking(next_, startInstant, [run = std::weak_ptr<Run>(run_)] {
        if (const auto live = run.lock(); live && !live->stopped) live->samples.timerHandler();
    });
}

void OverallMeasurement::stop() {
    const auto run = std::exchange(run_, nullptr);
    if (!run) return;
    run->stopped = true;
    // Queued behind the command's own lines, so the final report follows them.
    platform_.runLoop.async([run] { finish(*run); });
}

void OverallMeasurement::finish(Run& run) {
    run.stopped = true;
    run.samples.finishTicking(run.useCaseName, run.srNumber, run.pageName);
}

std::optional<OverallMeasurement::Running> OverallMeasurement::running() const {
    if (!run_) return std::nullopt;
    return Running{run_->samples, run_->useCaseName, run_->srNumber, run_->pageName};
}

MetricsCollector* OverallMeasurement::runningSamples() const { return run_ ? &run_->samples : nullptr; }

}  // namespace perfagent

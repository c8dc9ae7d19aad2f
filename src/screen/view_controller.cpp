#include "screen/view_controller.hpp"

#include "report/text.hpp"
#include "report/collection_server.hpp"
#include "report/measurement_report.hpp"


namespace perfagent {

namespace {

std::optional<std::string> fieldText(const TextField* field) {
    if (!field) return std::nullopt;
    return field->text;
}

}  // namespace

ViewController::ViewController(Platform& platform, Probes& probes, CollectionServer& server,
                               KeepAliveServices keepAlive)
    : backgroundTask(std::make_unique<BackgroundTask>(std::move(keepAlive))),
      metricsCollector(std::make_unique<MetricsCollector>(platform, probes, server)),
      platform_(platform),
      sampler_(probes),
      server_(server) {}

ViewController::~ViewController() {
    if (backgroundTimer) backgroundTimer->invalidate();
    if (backgroundPusher) backgroundPusher->invalidate();
}

void ViewController::viewDidLoad() {
    if (useCaseName) useCaseName->text.clear();
    if (srNumber) srNumber->text.clear();
}

void ViewController::timerHandler() {
    // The screen's own measurement records the system alone.
    measurement_.add(readAndPrintSample(platform_, sampler_, &sampler_.self(), measurement_.groups()), false);
}

void ViewController::backgroundPush() { sendScreenReport(true); }

void ViewController::startPerformanceWithSender(const void*) {
    backgroundTask->startBackgroundTask();
    const double startTime = nowMilliseconds(platform_.clock);
    printInstant(platform_.console, "start time : ", startTime);
    measurement_.start(startTime);
    useCase = fieldText(useCaseName);
    srno = fieldText(srNumber);
    platform_.console.println("srno  : " + optionalText(srno));
    platform_.console.println("useCase : " + optionalText(useCase));
    std::string srNumberText = fieldText(srNumber).value_or("");
    std::string useCaseText = fieldText(useCaseName).value_or("");
    metricsCollector->start(std::move(useCaseText), std::move(srNumberText), "");
    server_.sendTestPing();
}

void ViewController::stopPerformanceWithSender(const void*) { metricsCollector->stop(); }

void ViewController::stopBackgroundMeasurement() {
    if (backgroundTimer) {
        backgroundTimer->invalidate();
        if (backgroundPusher) backgroundPusher->invalidate();
        backgroundTask->stopBackgroundTask();
        sendScreenReport(false);
        measurement_.resetFigures();
    }
    Console& console = platform_.console;
    platform_.runLoop.asyncAfter(2.0, [&console] { console.println("after 2seconds"); });
}

void ViewController::sendScreenReport(bool withSrNumber) {
    measurement_.setEndTime(nowMilliseconds(platform_.clock));
    printInstant(platform_.console, "stop time : ", measurement_.endTime());
    const MeasurementReport report = measurement_.report(useCase, withSrNumber ? srno : std::nullopt, std::nullopt);
    encodeAndHandOff(report, kScreenReportLines, platform_.console, server_);
}

}  // namespace perfagent

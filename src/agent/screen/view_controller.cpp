#include "screen/view_controller.hpp"

#include "base/text.hpp"
#include "report/collection_server.hpp"

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
      server_(server) {}

ViewController::~ViewController() = default;

void ViewController::viewDidLoad() {
    if (useCaseName) useCaseName->text.clear();
    if (srNumber) srNumber->text.clear();
}

void ViewController::startPerformanceWithSender(const void*) {
    backgroundTask->startBackgroundTask();
    printInstant(platform_.console, "start time : ", nowMilliseconds(platform_.clock));
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
    Console& console = platform_.console;
    platform_.runLoop.asyncAfter(2.0, [&console] { console.println("after 2seconds"); });
}

}  // namespace perfagent

#pragma once

#include "collector/metrics_collector.hpp"
#include "keepalive/background_task.hpp"
#include "platform/platform.hpp"

#include <memory>
#include <optional>
#include <string>

namespace perfagent {

class CollectionServer;

/// @brief A text entry field of the screen. The view hierarchy owns it; controllers refer to it.
struct TextField {
    std::string text;
};

/// @brief The operator screen: two text fields (use-case name, SR number) and Start/Stop actions that
/// drive the screen's own metrics collector, and the flush that the application runs at termination.
///
/// Everything runs on the main thread.
class ViewController {
public:
    ViewController(Platform& platform, Probes& probes, CollectionServer& server, KeepAliveServices keepAlive);
    ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    /// Clears both text fields once the screen's view is loaded.
    void viewDidLoad();
    /// Start: keep-alive, start instant, names from the fields, the collector started with those names
    /// and an empty page name, and a test ping to the collection server.
    void startPerformanceWithSender(const void* sender = nullptr);
    /// Stop: stops the screen's collector, which posts its final report.
    void stopPerformanceWithSender(const void* sender = nullptr);
    /// The termination flush: prints "after 2seconds" two seconds later. The screen samples nothing of its
    /// own (its collector measures), so there is no measurement of its own to end.
    void stopBackgroundMeasurement();

    // Fields, in declaration order.
    TextField* useCaseName = nullptr;  ///< connected by the interface loader; not owned
    TextField* srNumber = nullptr;     ///< connected by the interface loader; not owned
    std::unique_ptr<BackgroundTask> backgroundTask;
    std::unique_ptr<MetricsCollector> metricsCollector;
    std::optional<std::string> useCase;
    std::optional<std::string> srno;

private:
    Platform& platform_;
    CollectionServer& server_;
};

}  // namespace perfagent

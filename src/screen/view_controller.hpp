#pragma once

#include "collector/measurement.hpp"
#include "collector/metrics_collector.hpp"
#include "keepalive/background_task.hpp"
#include "platform/platform.hpp"
#include "probes/cpu.hpp"
#include "report/sample_series.hpp"

#include <cstdint>
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
/// drive the screen's own metrics collector. It also carries a sampling readout and report pushes of its
/// own, which nothing in the agent schedules, and a flush that the application runs at termination.
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
    void didReceiveMemoryWarning() {}
    /// One screen sample: the readout lines and the screen's own measurement.
    void timerHandler();
    /// Posts the screen's report (both names), leaving the measurement as it is.
    void backgroundPush();
    /// Start: keep-alive, start instant, a fresh measurement, names from the fields, the collector
    /// started with those names and an empty page name, and a test ping to the collection server.
    void startPerformanceWithSender(const void* sender = nullptr);
    /// Stop: stops the screen's collector, which posts its final report.
    void stopPerformanceWithSender(const void* sender = nullptr);
    /// The termination flush: with a screen timer present, ends the screen's own measurement and posts
    /// its final report; in every case prints "after 2seconds" two seconds later.
    void stopBackgroundMeasurement();
    const Measurement& measurement() const { return measurement_; }

    // Fields, in declaration order.
    TextField* useCaseName = nullptr;  ///< connected by the interface loader; not owned
    TextField* srNumber = nullptr;     ///< connected by the interface loader; not owned
    std::unique_ptr<BackgroundTask> backgroundTask;
    std::shared_ptr<Timer> backgroundTimer;
    std::shared_ptr<Timer> backgroundPusher;
    std::unique_ptr<MetricsCollector> metricsCollector;
    std::optional<std::string> useCase;
    std::optional<std::string> srno;

private:
    void sendScreenReport(bool withSrNumber);

    Platform& platform_;
    Sampler sampler_;
    Measurement measurement_;
    CollectionServer& server_;
};

}  // namespace perfagent

#pragma once

#include "collector/metrics_collector.hpp"
#include "collector/overall_measurement.hpp"
#include "keepalive/background_task.hpp"
#include "platform/audio.hpp"
#include "platform/device.hpp"
#include "platform/platform.hpp"
#include "platform/user_notifications.hpp"
#include "screen/screen_endpoint.hpp"
#include "screen/view_controller.hpp"
#include "screen/window.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace perfagent {

class CollectionServer;
struct PushCommand;

/// @brief What the application delegate is given when it is made. All of it outlives the delegate.
struct ShellServices {
    Platform& platform;
    Probes& probes;
    CollectionServer& server;
    KeepAliveServices keepAlive;
    UserNotificationCenter& userNotifications;
    AudioSession& audioSession;
    DeviceInfo device;
    /// The agent's home: the documents directory (log files) is below it.
    std::filesystem::path home;
    /// Asks for the device token; the answer comes later, on the main thread, through
    /// didRegisterForRemoteNotificationsWithDeviceToken or didFailToRegisterForRemoteNotificationsWithError.
    std::function<void()> registerForRemoteNotifications;
    /// Redirects standard error to the file; fails with the reason when it cannot.
    std::function<Result<void>(const std::filesystem::path&)> redirectStandardError;
    /// Our own diagnostics (stderr), never the console.
    std::function<void(std::string_view)> diagnostics;
    /// The metric groups a start samples when its push names none (--metrics).
    MetricGroupSet metrics{};
};

/// @brief The application delegate: owns the long-lived objects, runs the launch sequence, answers
/// notification registration, dispatches remote commands and reacts to lifecycle events. Every call
/// arrives on the main thread, except the permission answers, which only print.
class AppDelegate final : public ScreenHost {
public:
    explicit AppDelegate(ShellServices services);
    ~AppDelegate() override;

    // Fields, in order.
    std::unique_ptr<Window> window;
    std::unique_ptr<MetricsCollector> metricsCollector;  ///< "start" and "stop"
    std::unique_ptr<OverallMeasurement> metricscollectoroverall;  ///< "startoverall" and "stopoverall"
    std::unique_ptr<BackgroundTask> backgroundTask;

    void setWindow(std::unique_ptr<Window> newWindow) { window = std::move(newWindow); }
    /// The launch sequence: keep-alive, notification permission and registration, audio session,
    /// device readout, standard error into a new log file. Returns true.
    bool didFinishLaunchingWithOptions();
    void didRegisterForRemoteNotificationsWithDeviceToken(std::span<const std::uint8_t> deviceToken);
    void didFailToRegisterForRemoteNotificationsWithError(std::string_view errorDescription);
    /// Prints the payload and its names, and starts or stops a collector by the command's action,
    /// measuring the target it resolved to, or marks the running measurements. Answers a mark's answer
    /// (see mark), empty text for the other commands.
    std::string didReceiveRemoteNotification(const PushCommand& push);
    /// Marks the current sample of every measurement running (push, overall, page) with `label`, says so
    /// on the console and answers which measurements took the marker (see markAnswer).
    std::string mark(const std::string& label);
    /// Flushes the screen on display, then prints "app terminated".
    void applicationWillTerminate();
    void applicationWillEnterForeground();
    void applicationDidEnterBackground();

    // The screen host: the on-display screen's fields and actions.
    ScreenFields screenFields() override;
    Result<void> screenStart(std::string useCaseName, std::string srNumber,
                             const Result<std::optional<ResolvedTarget>>& target, std::string build) override;
    void screenStop() override;
    std::string screenMark(std::string label) override { return mark(label); }
    std::string screenState(std::int64_t since) override;

private:
    void permissionAnswer(bool granted);
    void configureAudioSession();
    void redirectLog();
    /// Sets `collector` to measure `target`; when it cannot, says why on the console and in the log.
    template <typename Collector>
    Result<void> measureTarget(Collector& collector, const std::optional<ResolvedTarget>& target);
    /// Says on the console and in the log why a start did not happen.
    void refuseStart(const std::string& why);

    ShellServices services_;
};

}  // namespace perfagent

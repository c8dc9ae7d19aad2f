#include "shell/app_delegate.hpp"

#include "identity/device_readout.hpp"
#include "identity/device_token.hpp"
#include "os/files.hpp"
#include "shell/log_files.hpp"
#include "base/text.hpp"
#include "report/collection_server.hpp"
#include "screen/screen_state.hpp"
#include "shell/remote_command.hpp"

#include <algorithm>

namespace perfagent {

namespace {

constexpr std::uint64_t kAuthorizationOptions =
    kAuthorizationOptionBadge | kAuthorizationOptionSound | kAuthorizationOptionAlert;

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

AppDelegate::AppDelegate(ShellServices services)
    : metricsCollector(std::make_unique<MetricsCollector>(services.platform, services.probes, services.server)),
      metricscollectoroverall(std::make_unique<OverallMeasurement>(services.platform, services.probes, services.server)),
      backgroundTask(std::make_unique<BackgroundTask>(services.keepAlive)),
      services_(std::move(services)) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::didFinishLaunchingWithOptions() {
    backgroundTask->startBackgroundTask();
    services_.userNotifications.requestAuthorization(
        kAuthorizationOptions, [this](bool granted, const std::optional<std::string>&) { permissionAnswer(granted); });
    services_.registerForRemoteNotifications();
    configureAudioSession();
    for (const auto& line : deviceReadoutLines(services_.device)) services_.platform.console.println(line);
    redirectLog();
    return true;
}

void AppDelegate::permissionAnswer(bool granted) {
    // Arrives on a background thread; it only prints.
    Console& console = services_.platform.console;
    console.println(granted ? "permission granted: true" : "permission granted: false");
    if (!granted) return;
    services_.userNotifications.getNotificationSettings(
        [&console](const std::string& description) { console.println("Notification Settings:" + description); });
}

void AppDelegate::configureAudioSession() {
    Console& console = services_.platform.console;
    if (auto set = services_.audioSession.setCategory(kAudioSessionCategoryPlayback, kAudioSessionModeDefault, 0); !set) {
        console.println(set.error().message);
        return;
    }
    console.println("playback ok");
    if (auto active = services_.audioSession.setActive(true, 0); !active) {
        console.println(active.error().message);
        return;
    }
    console.println("Session is active");
}

void AppDelegate::redirectLog() {
    services_.platform.console.println("\"testworkinglog\"");
    const auto documents = documentsDirectory(services_.home);
    if (!documents) {
        services_.diagnostics("perfagent: no documents directory under " + services_.home.string() + " (" +
                              documents.error().message + "); standard error is not redirected");
        return;
    }
    const auto path = *documents / logFileName(services_.platform.clock.nowSeconds());
    if (!isAscii(path.string())) {
        services_.diagnostics("perfagent: log path " + path.string() + " is not ASCII; standard error is not redirected");
        return;
    }
    if (auto redirected = services_.redirectStandardError(path); !redirected)
        services_.diagnostics("perfagent: cannot open log file " + path.string() + ": " + redirected.error().message);
}

void AppDelegate::didRegisterForRemoteNotificationsWithDeviceToken(std::span<const std::uint8_t> deviceToken) {
    Console& console = services_.platform.console;
    const std::string text = tokenText(deviceToken);
    std::string document = deviceTokenDocument(text);
    console.println("DEVICE TOKEN = " + text);
    if (!services_.server.addressable("/entry-point/devicetokentest")) return;
    console.println("Vellimora = " + text);
    services_.server.postDeviceToken(std::move(document));
}

void AppDelegate::didFailToRegisterForRemoteNotificationsWithError(std::string_view errorDescription) {
    services_.platform.console.println("Error:");
    services_.platform.console.println(errorDescription);
}

std::string AppDelegate::didReceiveRemoteNotification(const PushCommand& push) {
    Console& console = services_.platform.console;
    console.println("userinfo :" + push.echo);
    if (!push.payload) {
        services_.diagnostics("perfagent: push not acted on: " + push.payload.error().message);
        return {};
    }
    const RemoteCommand& command = *push.payload;
    if (push.action == CommandAction::Mark) return mark(command.label);
    // Names are printed with their control characters escaped, so a payload cannot forge console lines.
    console.println("pagename:" + consoleText(command.pagename));
    console.println("srnumber : " + consoleText(command.srNumber));
    console.println("usecasename : " + consoleText(command.usecase));
    switch (push.action) {
    case CommandAction::Start:
        metricsCollector->setBuild(command.build);
        metricsCollector->setMetrics(command.metrics.value_or(services_.metrics));
        if (measureTarget(*metricsCollector, push.target))
            metricsCollector->start(command.usecase, command.srNumber, command.pagename);
        break;
    case CommandAction::Stop: metricsCollector->stop(); break;
    case CommandAction::StartOverall:
        metricscollectoroverall->setBuild(command.build);
        metricscollectoroverall->setMetrics(command.metrics.value_or(services_.metrics));
        if (measureTarget(*metricscollectoroverall, push.target))
            metricscollectoroverall->start(command.usecase, command.srNumber, command.pagename);
        break;
    case CommandAction::StopOverall: metricscollectoroverall->stop(); break;
    case CommandAction::Mark:
    case CommandAction::None: break;
    }
    console.println(consoleText(command.command) + ":test");
    console.println("hellow world");
    return {};
}

std::string AppDelegate::mark(const std::string& label) {
    MetricsCollector* page = window && window->rootViewController ? window->rootViewController->metricsCollector.get() : nullptr;
    const std::pair<const char*, MetricsCollector*> measurements[] = {
        {"push", metricsCollector->running() ? metricsCollector.get() : nullptr},
        {"overall", metricscollectoroverall->runningSamples()},
        {"page", page && page->running() ? page : nullptr}};
    std::vector<std::string> applied;
    std::vector<std::pair<std::string, std::string>> refused;
    std::string line = "mark : " + consoleText(label);
    for (const auto& [name, collector] : measurements) {
        if (!collector) continue;
        const std::int64_t sample = collector->measurement().samples() + 1;
        if (auto marked = collector->mark(label); !marked) {
            const std::string& why = marked.error().message;
            services_.diagnostics("perfagent: mark not applied to the " + std::string(name) + " measurement: " + why);
            refused.emplace_back(name, why);
            continue;
        }
        applied.emplace_back(name);
        line += ", " + std::string(name) + " sample " + std::to_string(sample);
    }
    if (applied.empty()) line += refused.empty() ? ", no measurement running" : ", refused";
    services_.platform.console.println(line);
    return markAnswer(applied, refused);
}

void AppDelegate::applicationWillTerminate() {
    if (window && window->rootViewController) window->rootViewController->stopBackgroundMeasurement();
    services_.platform.console.println("app terminated");
}

void AppDelegate::applicationWillEnterForeground() { services_.platform.console.println("enter foreground"); }

void AppDelegate::applicationDidEnterBackground() { services_.platform.console.println("enter background"); }

ScreenFields AppDelegate::screenFields() {
    if (!window) return {};
    return {window->useCaseNameField.text, window->srNumberField.text};
}

template <typename Collector>
Result<void> AppDelegate::measureTarget(Collector& collector, const std::optional<ResolvedTarget>& target) {
    auto set = collector.setTarget(target);
    if (!set) refuseStart(set.error().message);
    return set;
}

void AppDelegate::refuseStart(const std::string& why) {
    services_.platform.console.println("measurement not started: " + why);
    services_.diagnostics("perfagent: measurement not started: " + why);
}

Result<void> AppDelegate::screenStart(std::string useCaseName, std::string srNumber,
                                      const Result<std::optional<ResolvedTarget>>& target, std::string build) {
    if (!window || !window->rootViewController) return {};
    if (!target) {
        refuseStart(target.error().message);
        return target.error();
    }
    window->rootViewController->metricsCollector->setBuild(std::move(build));
    window->rootViewController->metricsCollector->setMetrics(services_.metrics);
    if (auto set = measureTarget(*window->rootViewController->metricsCollector, *target); !set) return set;
    window->useCaseNameField.text = std::move(useCaseName);
    window->srNumberField.text = std::move(srNumber);
    window->rootViewController->startPerformanceWithSender();
    return {};
}

void AppDelegate::screenStop() {
    if (window && window->rootViewController) window->rootViewController->stopPerformanceWithSender();
}

std::string AppDelegate::screenState(std::int64_t since) {
    std::vector<ScreenMeasurement> candidates;
    const auto add = [&](const MetricsCollector* c, const char* origin) {
        if (c) candidates.push_back({c, c->useCase(), c->srno(), c->pagename(), origin, c->running()});
    };
    add(metricsCollector.get(), "push");
    if (window && window->rootViewController) add(window->rootViewController->metricsCollector.get(), "page");
    if (const auto overall = metricscollectoroverall->running())
        candidates.push_back({&overall->samples, overall->useCaseName, overall->srNumber, overall->pageName, "overall", true});
    return screenStateJson(candidates, since);
}

}  // namespace perfagent

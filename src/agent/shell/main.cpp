// perfagent: the measurement agent's process entry.

#include "platform/asio_run_loop.hpp"
#include "platform/audio.hpp"
#include "platform/beast_url_session.hpp"
#include "platform/clock.hpp"
#include "base/command_options.hpp"
#include "platform/console.hpp"
#include "platform/device.hpp"
#include "identity/device_token.hpp"
#include "os/diagnostics.hpp"
#include "os/files.hpp"
#include "http/http_server.hpp"
#include "platform/linux_proc.hpp"
#include "http/listen_address.hpp"
#include "platform/main_thread_handoff.hpp"
#include "keepalive/notification_center.hpp"
#include "platform/processes.hpp"
#include "os/signals.hpp"
#include "platform/user_notifications.hpp"
#include "probes/cpu.hpp"
#include "report/collection_server.hpp"
#include "screen/window.hpp"
#include "shell/app_delegate.hpp"
#include "shell/command_line.hpp"
#include "shell/log_files.hpp"
#include "shell/push_endpoint.hpp"
#include "shell/remote_command.hpp"

#include <csignal>
#include <malloc.h>
#include <cstdio>
#include <unistd.h>

namespace perfagent {
namespace {

constexpr auto kUploadGrace = std::chrono::seconds(2);

int run(const CommandLine& line, const boost::asio::ip::address& listenAddress, const std::filesystem::path& resources,
        std::vector<ScreenFile> pageFiles) {
    const std::filesystem::path home = line.home.value_or(defaultHome());

    // Our own diagnostics go to stderr: the log file once the launch has redirected it.
    Diagnostics diagnostics;
    const auto diagnostic = diagnostics.sink();
    SystemClock clock;
    StreamConsole console(STDOUT_FILENO, diagnostics, line.briefConsole);
    AsioRunLoop loop;
    LinuxProcessList processList;
    Platform platform{clock, console, loop, &processList, diagnostic};
    LinuxProc proc;  // its first use raises the descriptor limit
    Probes probes(proc);
    BeastUrlSession urlSession(loop.context(), diagnostic);  // reports go out from the main loop
    CollectionServer server(urlSession, line.collectionServer);
    NotificationCenter notificationCenter;
    HostAudioSession audioSession;
    SndfileAudioPlayerFactory players;
    KeepAliveServices keepAlive{console, notificationCenter, audioSession, players, resources};
    HostUserNotificationCenter userNotifications(loop);
    const Result<DeviceToken> token = loadOrCreateDeviceToken(home);

    AppDelegate* delegateForRegistration = nullptr;
    // Written to the terminal at once and again to the log once the launch has opened it, so that every
    // log begins with them and none is left empty.
    std::vector<std::string> launchLines;
    const auto redirectLog = [&](const std::filesystem::path& path) {
        auto redirected = redirectStderr(path);
        if (!redirected) return redirected;
        trimLogFiles(path.parent_path(), line.keepLogs, path.filename());
        for (const auto& launchLine : launchLines) diagnostic(launchLine);
        return redirected;
    };
    const auto targetOption = line.target ? std::optional(TargetChoice{*line.target, line.targetTree}) : std::nullopt;
    // Pushes and the page's starts resolve their target on the network thread, with a proc source of its own.
    LinuxProc networkProc;
    TargetResolver targets(&processList, networkProc, targetOption);
    ShellServices services{
        platform, probes, server, keepAlive, userNotifications, audioSession, readHostDevice(), home,
        [&] {
            // The token was made or read before the loop started; its answer arrives like a platform's,
            // later and on the main thread.
            loop.async([&] {
                // Now in the log: the launch has redirected standard error.
                if (token && token->warning) diagnostic(*token->warning);
                if (token)
                    delegateForRegistration->didRegisterForRemoteNotificationsWithDeviceToken(token->bytes);
                else
                    delegateForRegistration->didFailToRegisterForRemoteNotificationsWithError(token.error().message);
            });
        },
        redirectLog, diagnostic, line.metrics};
    AppDelegate delegate(std::move(services));
    delegateForRegistration = &delegate;
    delegate.setWindow(Window::loadMainInterface(platform, probes, server, keepAlive));

    // What the listener hands to the main thread waits there in a bounded queue: a held-up main thread
    // gets 503s, not a growing backlog.
    MainThreadHandoff handoff(loop, 256);
    // The process may start later, so a --target that cannot be measured now is said, not fatal. (Before
    // the listener starts, while the resolver is still this thread's to use.)
    std::optional<std::string> targetWarning;
    if (const auto target = targets.resolveOption(); !target) {
        targetWarning = target.error().message + "; starts that measure it are refused until it can be";
        console.println("warning: " + *targetWarning);
    }
    std::vector<HttpRoute> routes = screenRoutes(std::move(pageFiles), handoff, delegate, processList, targets);
    routes.push_back(pushRoute(token ? tokenText(token->bytes) : std::string(), handoff,
                               [&delegate](const PushCommand& command) { return delegate.didReceiveRemoteNotification(command); },
                               targets));
    HttpServer listener({listenAddress, line.listen.port}, std::move(routes), diagnostics);
    if (const auto started = listener.start(); !started) {
        diagnostic("perfagent: cannot listen on " + authorityText(listenAddress, line.listen.port) + ": " +
                   started.error().message);
        return 1;
    }
    launchLines.push_back("perfagent: listening on http://" + listener.authority());
    if (targetWarning) launchLines.push_back("perfagent: warning: " + *targetWarning);
    if (token) launchLines.push_back("perfagent: push token in " + deviceTokenPath(home).string());
    else launchLines.push_back("perfagent: " + std::string(kDamagedTokenStore) + " (" + token.error().message + ")");
    for (const auto& launchLine : launchLines) diagnostic(launchLine);

    bool terminating = false;
    SignalWatcher::Handlers handlers = audioInterruptionSignals(notificationCenter);
    const auto terminate = [&] {
        loop.async([&] {
            if (terminating) return;
            terminating = true;
            delegate.applicationWillTerminate();
            loop.stop();
        });
    };
    handlers[SIGTERM] = terminate;
    handlers[SIGINT] = terminate;
    handlers[SIGHUP] = terminate;
    handlers[SIGCONT] = [&] {
        loop.async([&] {
            if (inForegroundProcessGroup())
                delegate.applicationWillEnterForeground();
            else
                delegate.applicationDidEnterBackground();
        });
    };
    SignalWatcher signals(std::move(handlers));

    loop.async([&] {
        delegate.didFinishLaunchingWithOptions();
        if (delegate.window) delegate.window->makeKeyAndVisible();
    });
    loop.run();

    // Leaving at once would lose the reports still on their way (the screen's flush among them).
    listener.stop();
    handoff.close();
    urlSession.shutdown(kUploadGrace);
    loop.shutdownBackground();
    return 0;
}

}  // namespace
}  // namespace perfagent

int main(int argc, char** argv) {
    using namespace perfagent;
    openStandardDescriptors();
    prepareProcessSignals();
    // A fixed threshold: large buffers (a long measurement's report body, its growing series texts) are
    // mapped on their own and given back whole when freed, instead of leaving holes in the heap that
    // keep it growing (glibc would otherwise raise the threshold to the largest size freed so far).
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const auto line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto status = exitBeforeRun("perfagent", line, usageText())) return *status;
    // Names are resolved once, here: a name that does not resolve is a bad command line.
    const auto cannotResolve = [](const char* flag, const Failure& failure) {
        std::fprintf(stderr, "perfagent: %s: cannot resolve %s\n", flag, failure.message.c_str());
        return 2;
    };
    const auto listenAddress = resolveHost(line->listen.host);
    if (!listenAddress) return cannotResolve("--listen", listenAddress.error());
    if (const auto collection = resolveHost(line->collectionServer.host); !collection)
        return cannotResolve("--collection-server", collection.error());
    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    const auto resources = line->resources ? std::optional(*line->resources) : findResources(executable);
    if (!resources) {
        std::fprintf(stderr, "perfagent: cannot find the resources (Main.html, 3.wav) beside the binary; "
                             "name them with --resources DIR\n");
        return 2;
    }
    auto pageFiles = readScreenFiles(*resources);
    if (!pageFiles) {
        std::fprintf(stderr, "perfagent: cannot read %s\n", pageFiles.error().message.c_str());
        return 2;
    }
    return run(*line, *listenAddress, *resources, std::move(*pageFiles));
}

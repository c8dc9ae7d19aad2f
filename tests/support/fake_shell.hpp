#pragma once

#include "report/collection_server.hpp"
#include "shell/app_delegate.hpp"
#include "support/fake_proc.hpp"
#include "support/fake_run_loop.hpp"
#include "support/fake_url_session.hpp"
#include "support/recording_console.hpp"

#include <vector>

namespace perfagent::testing {

/// @brief A process list the test writes as processes come and go.
struct FixedProcesses final : ProcessList {
    std::vector<ProcessInfo> processes() override { return ++listings, running; }
    bool hiddenFromUs(std::string_view pidOrName) override { return pidOrName == hidden; }
    std::vector<ProcessInfo> running;
    std::string hidden;  ///< a pid another user runs, unlisted
    int listings = 0;
};

/// @brief An audio session that refuses each step with the error set for it, while that is set.
struct ScriptedAudioSession final : AudioSession {
    Result<void> setCategory(std::string_view, std::string_view, std::uint64_t) override { return refused(categoryError); }
    Result<void> setActive(bool, std::uint64_t) override { return refused(activeError); }
    static Result<void> refused(const std::optional<std::string>& error) {
        if (error) return failure(*error);
        return {};
    }
    std::optional<std::string> categoryError, activeError;
};

/// @brief Answers permission requests with `granted` on the fake loop's background queue.
struct FakeUserNotificationCenter final : UserNotificationCenter {
    explicit FakeUserNotificationCenter(RunLoop& loop) : runLoop(loop) {}
    void requestAuthorization(std::uint64_t, AuthorizationHandler handler) override {
        runLoop.backgroundAsync([handler = std::move(handler), granted = granted] { handler(granted, std::nullopt); });
    }
    void getNotificationSettings(SettingsHandler handler) override {
        runLoop.backgroundAsync([handler = std::move(handler)] { handler("<FakeNotificationSettings>"); });
    }
    RunLoop& runLoop;
    bool granted = true;
};

/// @brief Every service the screen and the delegate use, faked (a real sound player); declare it before the
/// objects under test.
struct FakeShell {
    explicit FakeShell(std::filesystem::path resourcesDirectory = {}) : resources(std::move(resourcesDirectory)) {
        proc.resident = 10485760;
        proc.appShare = 12.0;
        proc.setMeminfo({.memFree = 4000, .active = 8000, .inactive = 12000, .unevictable = 16000, .zswap = 2000});
    }

    KeepAliveServices keepAlive() { return {console, notificationCenter, audioSession, players, resources}; }

    ShellServices services(std::filesystem::path home = {}) {
        return {platform, probes, server, keepAlive(), userNotifications, audioSession, device, std::move(home), [] {},
                [this](const std::filesystem::path& path) { return redirections.push_back(path), Result<void>(); },
                [this](std::string_view line) { diagnostics.emplace_back(line); }};
    }

    FakeRunLoop loop;
    FakeClock clock{loop};
    RecordingConsole console;
    Platform platform{clock, console, loop};
    FakeProc proc{[this] { return std::llround(loop.now() * 1e9); }, 8589934592.0};
    Probes probes{proc};
    FakeUrlSession urlSession;
    CollectionServer server{urlSession, CollectionEndpoint{}};
    NotificationCenter notificationCenter;
    ScriptedAudioSession audioSession;
    SndfileAudioPlayerFactory players;
    FakeUserNotificationCenter userNotifications{loop};
    DeviceInfo device{0, -1.0f, "Linux", "6.1.0", 0, "bench", "Test Board", 0};
    std::filesystem::path resources;
    std::vector<std::filesystem::path> redirections;
    std::vector<std::string> diagnostics;
};

}  // namespace perfagent::testing

#include "shell/app_delegate.hpp"

#include "support/fake_shell.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using testing::FakeShell;

struct DelegateTest : ::testing::Test {
    testing::TempDirectory home;
    FakeShell shell{PERFAGENT_SOURCE_DIR "/resources"};
    std::unique_ptr<AppDelegate> delegate = std::make_unique<AppDelegate>(shell.services(home.path()));

    void push(std::string_view json) { delegate->didReceiveRemoteNotification(boost::json::parse(json).as_object()); }
};

TEST_F(DelegateTest, LaunchPrintsItsLinesInOrderAndRedirectsStderrToALogNamedForTheUtcSecond) {
    shell.clock.shift(-1'700'000'000.3);  // 0.3 s before 1970: named for the second it falls in, not the nearest
    EXPECT_TRUE(delegate->didFinishLaunchingWithOptions());
    EXPECT_EQ(shell.console.take().back(), "\"testworkinglog\"");  // the line order is checked end to end
    EXPECT_THAT(shell.redirections, ElementsAre(home.path() / "Documents" / "1969-12-31 23:59:59 +0000.log"));
    // The permission answer comes later, off the main thread in the real program.
    shell.loop.runUntilIdle();
    EXPECT_THAT(shell.console.take(),
                ElementsAre("permission granted: true", "Notification Settings:<FakeNotificationSettings>"));
}

TEST_F(DelegateTest, LaunchGoesOnAfterAnAudioSessionFailureAndARefusedPermission) {
    shell.audioSession.categoryError = "category refused";
    shell.userNotifications.granted = false;
    delegate->didFinishLaunchingWithOptions();
    shell.loop.runUntilIdle();
    const auto lines = shell.console.take();
    // One error line stands where the two session lines would be, and the device readout follows.
    const auto readout = std::ranges::find(lines, std::string("UIDevice Version :0"));
    ASSERT_TRUE(readout != lines.begin() && readout != lines.end());
    EXPECT_EQ(readout[-1], "category refused");
    EXPECT_EQ(lines.back(), "permission granted: false");
}

TEST_F(DelegateTest, NoDocumentsDirectoryOrANonAsciiPathLeavesStderrAlone) {
    const std::pair<std::filesystem::path, const char*> cases[] = {
        {home.write("plain-file", ""), "no documents directory"}, {home.path() / "caf\xc3\xa9", "not ASCII"}};
    for (const auto& [where, why] : cases) {
        FakeShell quiet;
        EXPECT_TRUE(AppDelegate(quiet.services(where)).didFinishLaunchingWithOptions());
        EXPECT_TRUE(quiet.redirections.empty());
        EXPECT_THAT(quiet.diagnostics, ElementsAre(::testing::HasSubstr(why)));
    }
}

TEST_F(DelegateTest, AStartWhoseTargetCannotBeReadDoesNotStartAndSaysWhy) {
    push(R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "remote", "target": "ghost"})");
    EXPECT_THAT(shell.diagnostics,
                ElementsAre("perfagent: measurement not started: target ghost: targets are not available on this host"));
    EXPECT_FALSE(delegate->metricsCollector->running());
}

TEST_F(DelegateTest, TerminationFlushesTheScreenOnDisplayThenSaysSo) {
    delegate->applicationWillTerminate();  // no window yet
    EXPECT_THAT(shell.console.take(), ElementsAre("app terminated"));
    delegate->setWindow(Window::loadMainInterface(shell.platform, shell.probes, shell.server, shell.keepAlive()));
    delegate->window->rootViewController->backgroundTimer = shell.loop.scheduleRepeating(60.0, [] {});
    delegate->applicationWillTerminate();
    EXPECT_EQ(shell.console.take().back(), "app terminated");
    EXPECT_EQ(shell.urlSession.take().size(), 1u);  // the screen's final report (nothing sampled: no body)
}

}  // namespace
}  // namespace perfagent

#include "shell/app_delegate.hpp"

#include "report/collection_server.hpp"
#include "support/fake_shell.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace perfagent {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FakeShell;
using testing::TempDirectory;

struct DelegateTest : ::testing::Test {
    TempDirectory home;
    FakeShell shell{PERFAGENT_SOURCE_DIR "/resources"};
    std::unique_ptr<AppDelegate> delegate = std::make_unique<AppDelegate>(shell.services(home.path()));

    void push(std::string_view json) { delegate->didReceiveRemoteNotification(boost::json::parse(json).as_object()); }
};

TEST_F(DelegateTest, LaunchPrintsItsLinesInOrderAndRedirectsStderrToADatedLogFile) {
    EXPECT_TRUE(delegate->didFinishLaunchingWithOptions());
    EXPECT_THAT(shell.console.take(),
                ElementsAre("testbackground", "play audio", "playback ok", "Session is active", "UIDevice Version :0",
                            "UIDevice batteryLevel :-1.0", "UIDevice systemName :Linux", "UIDevice systemVersion :6.1.0",
                            "UIDevice batteryState :0", "UIDevice name :bench", "UIDevice model :Test Board",
                            "UIDevice orientation :0", "\"testworkinglog\""));
    EXPECT_EQ(shell.registrations, 1);
    EXPECT_THAT(shell.userNotifications.requestedOptions, ElementsAre(7u));
    ASSERT_EQ(shell.redirections.size(), 1u);
    EXPECT_EQ(shell.redirections[0], home.path() / "Documents" / "2023-11-14 22:13:20 +0000.log");
    EXPECT_TRUE(std::filesystem::is_directory(home.path() / "Documents"));

    // The permission answer comes later, off the main thread in the real program.
    shell.loop.runUntilIdle();
    EXPECT_THAT(shell.console.take(),
                ElementsAre("permission granted: true", "Notification Settings:<FakeNotificationSettings>"));
}

TEST_F(DelegateTest, LaunchGoesOnAfterAnAudioSessionFailureAndARefusedPermission) {
    shell.audioSession.categoryError = "The operation couldn't be completed. (category refused)";
    shell.userNotifications.granted = false;
    delegate->didFinishLaunchingWithOptions();
    shell.loop.runUntilIdle();
    const auto lines = shell.console.take();
    EXPECT_THAT(lines, Not(Contains("playback ok")));
    EXPECT_THAT(lines, Not(Contains("Session is active")));
    EXPECT_THAT(lines, Contains("permission granted: false"));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("Notification Settings:"))));
    // One error line stands where the two session lines would be, and the device readout follows.
    const auto readout = std::find(lines.begin(), lines.end(), "UIDevice Version :0");
    ASSERT_NE(readout, lines.end());
    ASSERT_NE(readout, lines.begin());
    EXPECT_EQ(*(readout - 1), "The operation couldn't be completed. (category refused)");
}

TEST_F(DelegateTest, NoDocumentsDirectoryOrANonAsciiPathLeavesStderrAlone) {
    TempDirectory other;
    const auto unusable = other.write("plain-file", "");  // a file where the home directory should be
    FakeShell quiet;
    AppDelegate noHome(quiet.services(unusable));
    EXPECT_TRUE(noHome.didFinishLaunchingWithOptions());
    EXPECT_TRUE(quiet.redirections.empty());
    EXPECT_EQ(quiet.diagnostics.size(), 1u);

    FakeShell accented;
    AppDelegate nonAscii(accented.services(home.path() / "caf\xc3\xa9"));
    EXPECT_TRUE(nonAscii.didFinishLaunchingWithOptions());
    EXPECT_TRUE(accented.redirections.empty());
    EXPECT_THAT(accented.diagnostics, Contains(HasSubstr("not ASCII")));
}

TEST_F(DelegateTest, FailedTokenRegistrationPrintsTheErrorAndUploadsNothing) {
    delegate->didFailToRegisterForRemoteNotificationsWithError("no token: Permission denied");
    EXPECT_THAT(shell.console.take(), ElementsAre("Error:", "no token: Permission denied"));
    EXPECT_TRUE(shell.urlSession.take().empty());
}

TEST_F(DelegateTest, OverallCommandsTouchOnlyTheOverallCollector) {
    push(R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "remote"})");
    push(R"({"aps": {"alert": "startoverall"}, "srNumber": "2", "usecase": "overall", "pagename": "p"})");
    EXPECT_TRUE(delegate->metricscollectoroverall->startStop);
    EXPECT_THAT(shell.console.take(), Contains("UsecaseName************ : overall"));
    shell.loop.advance(3.0);
    push(R"({"aps": {"alert": "stopoverall"}, "srNumber": "2", "usecase": "overall"})");
    EXPECT_FALSE(delegate->metricscollectoroverall->startStop);
    EXPECT_TRUE(delegate->metricsCollector->backgroundTimer->isValid());  // the remote measurement runs on
    shell.loop.advance(1.5);
    EXPECT_THAT(shell.console.take(), Contains("UsecaseName*****:overall"));
    EXPECT_EQ(delegate->metricsCollector->useCase, "remote");
}

TEST_F(DelegateTest, AStartWhoseTargetCannotBeReadDoesNotStartAndSaysWhy) {
    push(R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "remote", "target": "ghost"})");
    const std::string why = "measurement not started: target ghost: targets are not available on this host";
    EXPECT_THAT(shell.console.take(), Contains(why));
    EXPECT_THAT(shell.diagnostics, ElementsAre("perfagent: " + why));
    EXPECT_FALSE(delegate->metricsCollector->running());
}

TEST_F(DelegateTest, TerminationFlushesTheScreenOnDisplayThenSaysSo) {
    delegate->applicationWillTerminate();  // no window yet
    EXPECT_THAT(shell.console.take(), ElementsAre("app terminated"));

    delegate->setWindow(Window::loadMainInterface(shell.platform, shell.probes, shell.server, shell.keepAlive()));
    auto& screen = *delegate->window->rootViewController;
    screen.backgroundTimer = shell.loop.scheduleRepeating(60.0, [] {});
    delegate->applicationWillTerminate();
    const auto lines = shell.console.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], HasSubstr("stop time : "));
    EXPECT_EQ(lines[1], "app terminated");
    const auto flushed = shell.urlSession.take();  // the screen's final report: nothing sampled, so no body
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_FALSE(flushed[0].body);

    delegate->applicationDidEnterBackground();
    delegate->applicationWillEnterForeground();
    EXPECT_THAT(shell.console.take(), ElementsAre("enter background", "enter foreground"));
}

}  // namespace
}  // namespace perfagent

#include "shell/app_delegate.hpp"
#include "shell/log_files.hpp"
#include "shell/remote_command.hpp"

#include "support/fake_shell.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using testing::FakeShell;

struct DelegateTest : ::testing::Test {
    testing::TempDirectory home;
    FakeShell shell{PERFAGENT_SOURCE_DIR "/resources"};
    std::unique_ptr<AppDelegate> delegate = std::make_unique<AppDelegate>(shell.services(home.path()));

    testing::FixedProcesses processes;
    TargetResolver targets{&processes, shell.proc, std::nullopt};
    void push(std::string_view json) { delegate->didReceiveRemoteNotification(*readPush(boost::json::parse(json).as_object(), targets)); }
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
        {home.write("plain-file", ""), "no documents directory"}, {home.path() / "caf\xc3\xa9", "not ASCII"},
        {home.write("file-home/Documents", "").parent_path(), "Documents: Not a directory"}};
    for (const auto& [where, why] : cases) {
        FakeShell quiet;
        EXPECT_TRUE(AppDelegate(quiet.services(where)).didFinishLaunchingWithOptions());
        EXPECT_TRUE(quiet.redirections.empty());
        EXPECT_THAT(quiet.diagnostics, ElementsAre(::testing::HasSubstr(why)));
    }
}

// A start's "metrics" wins over the agent's --metrics for that measurement, "[]" included.
TEST_F(DelegateTest, APushsMetricGroupsWinOverTheAgentsForItsMeasurement) {
    testing::TempDirectory root;
    root.write("proc/loadavg", "1.00 0.50 0.25 2/100 1\n");
    root.write("proc/net/dev", "heading\nheading\n  eth0: 1 0 0 0 0 0 0 0 1 0 0 0 0 0 0 0\n");
    shell.proc.root = root.path().string();
    auto services = shell.services(home.path());
    services.metrics = *parseMetricGroups("load");
    AppDelegate agent(std::move(services));
    const auto groupsOf = [&](const std::string& metrics) {
        agent.didReceiveRemoteNotification(*readPush(boost::json::parse(R"({"aps": {"alert": "start"}, "srNumber": "1",
            "usecase": "u")" + metrics + "}").as_object(), targets));
        const SeriesGroups groups = agent.metricsCollector->measurement().groups();
        agent.metricsCollector->stop();
        return std::pair(groups.has(SeriesGroup::Load), groups.has(SeriesGroup::Net));
    };
    EXPECT_EQ(groupsOf(""), std::pair(true, false));
    EXPECT_EQ(groupsOf(R"(, "metrics": ["net"])"), std::pair(false, true));
    EXPECT_EQ(groupsOf(R"(, "metrics": [])"), std::pair(false, false));
}

// The target is resolved where the push is read; the main thread measures that process without a new search.
TEST_F(DelegateTest, AStartMeasuresTheProcessItsPushResolvedOrSaysWhyNot) {
    processes.running = {{{300, 11}, "app", "/opt/app", "ann", 1}};
    auto command = readPush(boost::json::parse(R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u",
                                                   "target": "app"})").as_object(), targets);
    ASSERT_TRUE(command && command->target);
    processes.running = {{{301, 90}, "app", "/opt/app", "ann", 1}};  // another "app" by the time it is acted on
    delegate->didReceiveRemoteNotification(*command);
    EXPECT_EQ(processes.listings, 1);
    shell.loop.advance(1.0);
    const auto reports = shell.urlSession.takeReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().at("targetpid"), 300);
    delegate->metricsCollector->stop();

    shell.proc.answerOpen(ESRCH);  // it exited after the push was answered
    delegate->didReceiveRemoteNotification(*command);
    EXPECT_THAT(shell.diagnostics, ElementsAre("perfagent: measurement not started: target app: app (pid 300) cannot "
                                               "be read (it may have exited)"));
    EXPECT_FALSE(delegate->metricsCollector->running());
}

TEST_F(DelegateTest, AMarkLandsOnTheNextSampleOfEveryRunningMeasurementWhoseReportsCarryItFromThenOn) {
    const auto mark = [&](const std::string& label) {
        return delegate->didReceiveRemoteNotification(
            *readPush(boost::json::parse(R"({"aps": {"alert": "mark"}, "label": ")" + label + "\"}").as_object(), targets));
    };
    EXPECT_EQ(mark("early"), R"({"action":"none","reason":"no measurement running"})");
    push(R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u"})");
    shell.loop.advance(2.0);
    const auto unmarked = shell.urlSession.takeReports();
    ASSERT_EQ(unmarked.size(), 2u);
    EXPECT_FALSE(unmarked.back().contains("markers"));
    push(R"({"aps": {"alert": "startoverall"}, "srNumber": "2", "usecase": "o"})");  // its first sample is still to come
    EXPECT_EQ(mark("login"), R"({"action":"mark","measurements":["push","overall"]})");
    mark("scroll");
    shell.loop.advance(1.0);
    mark("done");
    shell.loop.advance(1.0);
    std::map<std::string, boost::json::value> latest;  // by measurement
    for (const auto& report : shell.urlSession.takeReports())
        latest[report.contains("UsecaseName") ? "push" : "overall"] = report.at("markers");
    EXPECT_EQ(latest["push"], boost::json::parse("{\"3s\": \"login \u00b7 scroll\", \"4s\": \"done\"}"));
    EXPECT_EQ(latest["overall"], boost::json::parse("{\"1s\": \"login \u00b7 scroll\", \"3s\": \"done\"}"));
    EXPECT_THAT(shell.console.take(), ::testing::Contains("mark : done, push sample 4, overall sample 3"));

    // The push measurement's thousandth marker is its last; the overall one takes a few more.
    delegate->metricsCollector->start("u", "1", "");
    for (std::size_t i = 0; i < kMaxMarkers; ++i) delegate->metricsCollector->mark("m");
    EXPECT_EQ(mark("more"), R"({"action":"mark","measurements":["overall"],"refused":{"push":"the measurement has 1000 markers, the most it may have"}})");
    delegate->metricscollectoroverall->stop();
    EXPECT_EQ(mark("more"), R"({"action":"none","reason":"the measurement has 1000 markers, the most it may have"})");
}

// A clock set back dates this launch's log before the kept ones: it stays all the same.
TEST_F(DelegateTest, TrimmingKeepsThisLaunchsLogWhateverItsDate) {
    for (int day = 10; day < 13; ++day) home.write("2030-01-" + std::to_string(day) + " 00:00:00 +0000.log", "");
    home.write("2001-01-01 00:00:00 +0000.log", "");
    trimLogFiles(home.path(), 2, "2001-01-01 00:00:00 +0000.log");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(home.path())) left.push_back(entry.path().filename());
    std::ranges::sort(left);
    EXPECT_THAT(left, ElementsAre("2001-01-01 00:00:00 +0000.log", "2030-01-12 00:00:00 +0000.log"));
}

TEST_F(DelegateTest, TerminationFlushesTheScreenOnDisplayThenSaysSo) {
    delegate->applicationWillTerminate();  // no window yet
    EXPECT_THAT(shell.console.take(), ElementsAre("app terminated"));
    delegate->setWindow(Window::loadMainInterface(shell.platform, shell.probes, shell.server, shell.keepAlive()));
    delegate->applicationWillTerminate();
    shell.loop.advance(2.0);
    EXPECT_THAT(shell.console.take(), ElementsAre("app terminated", "after 2seconds"));
}

}  // namespace
}  // namespace perfagent

#include "screen/view_controller.hpp"

#include "screen/window.hpp"
#include "support/fake_shell.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::FakeShell;

/// The screen on display: a window with its two fields and the root screen, on the fake platform.
struct ScreenTest : ::testing::Test {
    FakeShell shell{PERFAGENT_SOURCE_DIR "/resources"};
    std::unique_ptr<Window> window =
        Window::loadMainInterface(shell.platform, shell.probes, shell.server, shell.keepAlive());
    ViewController& screen = *window->rootViewController;

    ScreenTest() {
        window->useCaseNameField.text = "typed before load";
        window->makeKeyAndVisible();
        // Every host CPU reading adds 100 ticks, 40 of them busy: 40% per sample.
        shell.kernel.setCpuLoad({0, 0, 0, 0});
        shell.probes.cpu.systemUsage();
        for (std::uint32_t i = 1; i <= 50; ++i) shell.kernel.pushCpuLoad({30 * i, 10 * i, 60 * i, 0});
    }

    std::vector<boost::json::object> reportBodies() {
        std::vector<boost::json::object> bodies;
        for (const auto& request : shell.urlSession.requests())
            if (request.target == "/entry-point/json" && request.body)
                bodies.push_back(boost::json::parse(*request.body).as_object());
        return bodies;
    }
};

TEST_F(ScreenTest, StartPrintsBothStartTimesAndTheNamesPingsAndStartsTheCollector) {
    EXPECT_EQ(window->useCaseNameField.text, "");  // cleared when the view loaded
    window->useCaseNameField.text = "login";
    window->srNumberField.text = "SR-42";
    shell.clock.shift(0.0004);
    screen.startPerformanceWithSender();
    EXPECT_THAT(shell.console.take(),
                ElementsAre("testbackground", "play audio", "start time : 1700000000000.0", "srno  : Optional(\"SR-42\")",
                            "useCase : Optional(\"login\")", "start time : 1700000000000.0"));
    const auto requests = shell.urlSession.take();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/entry-point/test");
    EXPECT_FALSE(requests[0].body);
    EXPECT_TRUE(requests[0].headers.empty());
    EXPECT_TRUE(screen.backgroundTask->player()->isPlaying());  // the screen's own keep-alive plays

    shell.loop.advance(2.0);
    const auto running = reportBodies();
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[1].at("UsecaseName").as_string(), "login");
    EXPECT_EQ(running[1].at("srNumber").as_string(), "SR-42");
    EXPECT_FALSE(running[1].contains("pagename"));
    EXPECT_TRUE(screen.cpuDict.empty());  // the collector samples, not the screen

    shell.urlSession.take();
    screen.stopPerformanceWithSender();
    const auto lines = shell.console.take();
    EXPECT_THAT(lines, ::testing::Contains("entered stoping"));
    const auto final = reportBodies();
    ASSERT_EQ(final.size(), 1u);
    EXPECT_EQ(final[0].at("CPU").as_object().size(), 2u);
    EXPECT_TRUE(screen.backgroundTask->player()->isPlaying());  // Stop leaves the keep-alive playing
}

TEST_F(ScreenTest, StopBeforeAnyStartSendsNothingAndAFlushWithoutATimerOnlyPrintsLater) {
    screen.stopPerformanceWithSender();
    EXPECT_TRUE(shell.console.take().empty());
    EXPECT_TRUE(shell.urlSession.requests().empty());

    screen.timerHandler();
    shell.console.take();
    screen.stopBackgroundMeasurement();
    EXPECT_TRUE(shell.console.take().empty());
    EXPECT_TRUE(shell.urlSession.requests().empty());
    EXPECT_EQ(screen.counter, 1);  // nothing was reset
    shell.loop.advance(1.9);
    EXPECT_TRUE(shell.console.take().empty());
    shell.loop.advance(0.1);
    EXPECT_THAT(shell.console.take(), ElementsAre("after 2seconds"));
}

TEST_F(ScreenTest, OwnSamplesFeedThePushReportWhichResetsNothing) {
    window->useCaseNameField.text = "search";
    window->srNumberField.text = "7";
    screen.startPerformanceWithSender();
    shell.urlSession.take();
    screen.timerHandler();
    screen.timerHandler();
    EXPECT_EQ(screen.counter, 2);
    EXPECT_EQ(screen.cpuDict.get(2), 40.0);
    EXPECT_EQ(screen.memoryUsedDict.get(1), (2000.0 + 3000.0 + 4000.0) * 4096.0 / 1048576.0);
    shell.console.take();

    screen.backgroundPush();
    const auto lines = shell.console.take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[0], HasSubstr("stop time : "));
    EXPECT_EQ(lines[1], "-------final JSon--------");
    const auto push = reportBodies().at(0);
    EXPECT_EQ(push.at("UsecaseName").as_string(), "search");
    EXPECT_EQ(push.at("srNumber").as_string(), "7");
    EXPECT_FALSE(push.contains("pagename"));
    EXPECT_EQ(push.at("averagecpu").as_double(), 40.0);
    EXPECT_EQ(screen.counter, 2);
    EXPECT_EQ(screen.sumCpu, 80.0);
}

TEST_F(ScreenTest, ANaNReadingKeepsTheLastNumberSoReportsStaySendable) {
    screen.startPerformanceWithSender();
    screen.timerHandler();
    shell.kernel.setCpuLoad({60, 20, 120, 0});  // the same counters again: no tick elapsed
    screen.timerHandler();
    EXPECT_EQ(screen.cpuDict.get(2), 40.0);
    EXPECT_EQ(screen.sumCpu, 80.0);
    shell.urlSession.take();
    screen.backgroundPush();
    ASSERT_EQ(shell.urlSession.requests().size(), 1u);
    EXPECT_TRUE(shell.urlSession.requests()[0].body);
}

TEST_F(ScreenTest, TerminationFlushWithATimerEndsTheScreensMeasurement) {
    window->useCaseNameField.text = "checkout";
    window->srNumberField.text = "99";
    screen.startPerformanceWithSender();
    screen.metricsCollector->stop();  // keep the collector's own reports out of the way
    screen.timerHandler();
    screen.backgroundTimer = shell.loop.scheduleRepeating(60.0, [] {});
    screen.backgroundPusher = shell.loop.scheduleRepeating(60.0, [] {});
    shell.console.take();
    shell.urlSession.take();

    screen.stopBackgroundMeasurement();
    EXPECT_FALSE(screen.backgroundTimer->isValid());
    EXPECT_FALSE(screen.backgroundPusher->isValid());
    EXPECT_FALSE(screen.backgroundTask->player()->isPlaying());
    EXPECT_EQ(shell.notificationCenter.registrationCount(screen.backgroundTask.get(), kAudioSessionInterruptionNotification), 0u);
    const auto final = reportBodies();
    ASSERT_EQ(final.size(), 1u);
    EXPECT_EQ(final[0].at("UsecaseName").as_string(), "checkout");
    EXPECT_FALSE(final[0].contains("srNumber"));  // the flush report never names the SR number
    EXPECT_EQ(final[0].at("averagecpu").as_double(), 40.0);  // accumulated before the reset
    EXPECT_EQ(screen.counter, 0);
    EXPECT_EQ(screen.sumCpu, 0.0);
    EXPECT_EQ(screen.maxCpu, 0.0);
    EXPECT_EQ(screen.cpuDict.size(), 1u);  // the series stay
    shell.loop.advance(2.0);
    EXPECT_THAT(shell.console.take(), ::testing::Contains("after 2seconds"));
}

}  // namespace
}  // namespace perfagent

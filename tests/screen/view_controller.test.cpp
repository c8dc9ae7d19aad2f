#include "screen/view_controller.hpp"

#include "screen/window.hpp"
#include "support/fake_shell.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace perfagent {
namespace {

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
    void start(std::string useCase, std::string srNumber) {
        window->useCaseNameField.text = std::move(useCase);
        window->srNumberField.text = std::move(srNumber);
        screen.startPerformanceWithSender();
    }
};

TEST_F(ScreenTest, StartRunsTheCollectorWithTheFieldsAndStopEndsIt) {
    EXPECT_EQ(window->useCaseNameField.text, "");  // cleared when the view loaded
    start("login", "SR-42");
    EXPECT_TRUE(screen.backgroundTask->player()->isPlaying());  // the screen's own keep-alive plays
    shell.loop.advance(2.0);
    const auto running = shell.urlSession.takeReports();
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[1].at("UsecaseName").as_string(), "login");
    EXPECT_EQ(running[1].at("srNumber").as_string(), "SR-42");
    EXPECT_TRUE(screen.cpuDict.empty());  // the collector samples, not the screen
    screen.stopPerformanceWithSender();
    EXPECT_EQ(shell.urlSession.takeReports().at(0).at("CPU").as_object().size(), 2u);
    EXPECT_TRUE(screen.backgroundTask->player()->isPlaying());  // Stop leaves the keep-alive playing
}

TEST_F(ScreenTest, OwnSamplesFeedThePushWhichResetsNothingAndTheFlushWhichEndsTheMeasurement) {
    start("search", "7");
    screen.metricsCollector->stop();  // keep the collector's own reports out of the way
    screen.timerHandler();
    shell.urlSession.take();
    screen.stopBackgroundMeasurement();  // a flush before any timer sends and resets nothing
    EXPECT_TRUE(shell.urlSession.take().empty());
    EXPECT_EQ(screen.counter, 1);
    shell.kernel.setCpuLoad({60, 20, 120, 0});  // the same counters again: a NaN reading keeps the last figure
    screen.timerHandler();
    EXPECT_EQ(screen.memoryUsedDict.get(1), (2000.0 + 3000.0 + 4000.0) * 4096.0 / 1048576.0);
    screen.backgroundPush();
    const auto push = shell.urlSession.takeReports().at(0);
    EXPECT_EQ(push.at("srNumber").as_string(), "7");
    EXPECT_EQ(push.at("averagecpu").as_double(), 40.0);
    screen.backgroundTimer = shell.loop.scheduleRepeating(60.0, [] {});
    screen.backgroundPusher = shell.loop.scheduleRepeating(60.0, [] {});
    screen.stopBackgroundMeasurement();
    EXPECT_FALSE(screen.backgroundPusher->isValid());
    EXPECT_FALSE(screen.backgroundTask->player()->isPlaying());
    EXPECT_EQ(shell.notificationCenter.registrationCount(screen.backgroundTask.get(), kAudioSessionInterruptionNotification), 0u);
    const auto final = shell.urlSession.takeReports().at(0);
    EXPECT_FALSE(final.contains("srNumber"));  // the flush report never names the SR number
    EXPECT_EQ(final.at("averagecpu").as_double(), 40.0);  // accumulated before the reset
    EXPECT_EQ(screen.counter, 0);
    EXPECT_EQ(screen.cpuDict.size(), 2u);  // the series stay
    shell.loop.advance(1.9);
    EXPECT_EQ(std::ranges::count(shell.console.take(), "after 2seconds"), 0);
    shell.loop.advance(0.1);
    EXPECT_EQ(std::ranges::count(shell.console.take(), "after 2seconds"), 2);  // one for each flush
}

}  // namespace
}  // namespace perfagent

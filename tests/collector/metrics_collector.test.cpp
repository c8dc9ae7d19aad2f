#include "collector/metrics_collector.hpp"
#include "collector/overall_measurement.hpp"

#include "screen/screen_state.hpp"
#include "support/fake_shell.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

namespace perfagent {
namespace {

using ::testing::ElementsAre;

struct CollectorTest : ::testing::Test, testing::FakeShell {
    MetricsCollector collector{platform, probes, server};

    CollectorTest() {
        clock.shift(0.0004);
        proc.resident = 52428800;
        proc.appShare = 25.0;
        proc.setMeminfo({.memFree = 1024000, .active = 2048000, .inactive = 512000, .unevictable = 256000, .zswap = 1024});
        // The agent read zeros when it began; then 20% busy between any two readings.
        for (std::uint64_t i = 1; i <= 100; ++i) proc.pushTicks({10 * i, 5 * i, 80 * i, 5 * i});
    }
};

TEST_F(CollectorTest, EachSecondPrintsTheReadoutAndSendsTheWholeMeasurementSoFar) {
    collector.start("login", "42", "home");
    EXPECT_THAT(console.take(), ElementsAre("start time : 1700000000000.0"));
    loop.advance(1.0);
    EXPECT_THAT(console.take(), ::testing::IsSupersetOf({"System CPU: 20.0", "Percent Of System Memory:33.5693359375",
        "CPU DICT: Optional([\"1s\": 20.0]) ** Memory USED DICT: Optional([\"1s\": 2750.0]) ** Memory Free DICT: "
        "Optional([\"1s\": 1000.0]) **  Memory Compressed DICT: Optional([\"1s\": 1.0]) ** "}));

    loop.advance(9.0);
    const auto bodies = urlSession.takeReports();
    ASSERT_EQ(bodies.size(), 10u);
    EXPECT_EQ(bodies.back().at("totalduration").as_double(), 10000.0);
    EXPECT_EQ(bodies.back().at("averagememoryfree"), bodies.back().at("MemoryFree").at("10s"));
    EXPECT_EQ(std::prev(bodies.back().at("MemoryFree").as_object().end())->key(), "10s");  // in sample order, not text order
}

TEST_F(CollectorTest, ANaNSystemCpuKeepsTheLastFigureAndAFirstNaNRecordsZero) {
    proc.setTicks({});  // no tick ever elapses: every reading is NaN
    collector.start("", "", "");
    loop.advance(2.0);
    proc.pushTicks({1, 0, 199, 0});  // 0.5 % over this interval
    proc.pushTicks({1, 0, 199, 0});  // then nothing again
    loop.advance(2.0);
    EXPECT_EQ(collector.measurement().series(kCpuSeries).jsonEntries(), "    \"1s\": 0.0,\n    \"2s\": 0.0,\n    \"3s\": 0.5,\n    \"4s\": 0.5");
    const auto reports = urlSession.takeReports();
    EXPECT_EQ(reports.size(), 4u);  // every report stayed sendable
    EXPECT_EQ(reports.back().at("maxcpu").as_double(), 0.5);  // a maximum that rose by less than 1
}

/// The declared series reach the report under their keys, in the order the reports always had; the
/// target's only while one is measured, and a target never read yet leaves its report sendable.
TEST_F(CollectorTest, TheReportCarriesTheDeclaredSeriesInReportOrder) {
    const auto keys = [](const boost::json::object& report) {
        std::vector<std::string> out;
        for (const auto& member : report) out.emplace_back(member.key());
        return out;
    };
    const std::vector<std::string> system{"UsecaseName", "CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed",
        "averagecpu", "averagememoryfree", "averagememorycompressed", "averagememoryused", "maxmemoryfree",
        "maxmemorycompressed", "maxmemoryused", "maxcpu", "totalduration"};
    collector.start("login", "", "");
    loop.advance(2.0);
    collector.stop();
    const auto plain = urlSession.takeReports().back();
    EXPECT_EQ(keys(plain), system);
    EXPECT_EQ(plain.at("maxmemoryused"), plain.at("MemoryUsed").at("2s"));

    testing::FixedProcesses processes;
    processes.running = {{{300, 11}, "app", "/opt/app", "ann", 1}};
    TargetResolver targets(&processes, proc, std::nullopt);
    ASSERT_TRUE(collector.setTarget(*targets.resolve(TargetChoice{"app"})));
    collector.start("login", "", "");
    proc.terminate();  // gone before its first reading: no app sample at all
    loop.advance(1.0);
    collector.stop();
    const auto withTarget = urlSession.takeReports().back();
    auto expected = system;
    for (const char* key : {"target", "targetpid", "AppCPU", "AppMemory", "averageappcpu", "maxappcpu",
                            "averageappmemory", "maxappmemory"})
        expected.emplace_back(key);
    EXPECT_EQ(keys(withTarget), expected);
    EXPECT_EQ(withTarget.at("AppCPU"), boost::json::object{});
    EXPECT_EQ(withTarget.at("averageappcpu").as_double(), 0.0);
}

TEST_F(CollectorTest, RestartResetsKeysStopEndsTheTimerAndOnlyRunningReportsCoalesce) {
    collector.stop();  // never started: nothing at all
    EXPECT_TRUE(console.take().empty());
    collector.start("a", "1", "");
    loop.advance(3.0);
    const auto first = urlSession.take();
    collector.start("b", "2", "page");
    loop.advance(2.0);
    EXPECT_EQ(collector.measurement().series(kCpuSeries).jsonEntries(), "    \"1s\": 20.0,\n    \"2s\": 20.0");  // one timer, keyed from 1s again
    collector.backgroundPush();  // the interim report: over this measurement's samples, resetting nothing
    clock.shift(0.25);
    collector.stop();
    loop.advance(5.0);
    EXPECT_EQ(loop.pending(), 0u);  // no timer survives a stop
    const auto second = urlSession.take();
    ASSERT_EQ(std::pair(first.size(), second.size()), std::pair(3ul, 4ul));
    EXPECT_NE(first[0].coalesceKey, 0u);
    EXPECT_EQ(first[2].coalesceKey, first[0].coalesceKey);
    EXPECT_NE(second[0].coalesceKey, first[0].coalesceKey);
    EXPECT_EQ(second[2].coalesceKey + second[3].coalesceKey, 0u);  // the interim and the final report
    const auto interim = boost::json::parse(*second[2].body).as_object();
    EXPECT_EQ(interim.at("averagecpu").as_double(), 20.0);  // 40 / 2 samples, not / 5 lifetime ticks
    EXPECT_FALSE(interim.contains("pagename"));
    const auto final = boost::json::parse(*second[3].body).as_object();
    EXPECT_EQ(final.at("pagename"), "page");
    EXPECT_EQ(final.at("totalduration").as_double(), 2250.0);

    // A second stop runs again with nothing counted: NaN averages, so no body.
    collector.stop();
    EXPECT_FALSE(urlSession.take().at(0).body);
}

/// Each overall measurement ticks at once, then every second: a start ends the one running (its final report
/// first), a stop ends exactly the running one, a burst never leaves loops side by side. The first tick's CPU
/// covers the time since the agent's previous reading (a second here), never an interval of no length.
TEST_F(CollectorTest, OverallStartsAndStopsEndExactlyTheRunningMeasurement) {
    OverallMeasurement overall{platform, probes, server};
    loop.advance(1.0);
    overall.start("a", "1", "");
    loop.advance(2.5);  // three ticks
    console.take();
    overall.stop();
    EXPECT_TRUE(console.take().empty());  // the final report follows the stop command's own lines
    overall.start("b", "2", "");  // within the same second
    loop.advance(1.5);
    for (const char* name : {"c", "d", "e"}) overall.start(name, "3", "");  // a burst
    overall.stop();  // before the last loop took a step
    loop.advance(3.0);
    overall.stop();  // nothing runs: no report
    std::vector<std::string> seen;  // each request: a named final report, a running one, or none
    for (const auto& request : urlSession.take()) {
        const auto report = request.body ? boost::json::parse(*request.body).as_object() : boost::json::object{};
        const auto number = [&](const char* key) { return "/" + std::to_string(std::lround(report.at(key).as_double())); };
        seen.push_back(!request.body ? "none" : !report.contains("UsecaseName") ? "running" :
            std::string(report.at("UsecaseName").as_string()) + "/" + std::to_string(report.at("CPU").as_object().size()) +
            number("totalduration") + number("averagecpu"));
    }
    // Durations run from the printed start to the stop, samples from it; c, d and e ended before their first.
    EXPECT_THAT(seen, ElementsAre("running", "running", "running", "a/3/2500/20", "running", "running", "b/2/1500/20",
                                  "none", "none", "none"));
    EXPECT_EQ(loop.pending(), 0u);
}

TEST(TargetChoice, PushBeforePageBeforeOptionAndEmptyNamesNothing) {
    const TargetChoice push{"firefox", true}, page{"812"}, option{"make", true}, empty{""};
    const struct {
        std::optional<TargetChoice> push, page, option;
        std::optional<std::string> chosen;
    } cases[] = {{push, page, option, "firefox tree"}, {std::nullopt, page, option, "812"}, {empty, page, option, "812"},
                 {empty, empty, option, "make tree"}, {std::nullopt, std::nullopt, std::nullopt, std::nullopt}};
    for (const auto& c : cases) {
        const auto chosen = chooseTarget(c.push, c.page, c.option);
        EXPECT_EQ(chosen ? std::optional(chosen->pidOrName + (chosen->tree ? " tree" : "")) : std::nullopt, c.chosen);
    }
}

// What a refusal is answered with hangs on its code: 422 for no such process, 403 for one this user may not read.
TEST(TargetResolver, ResolvesTheChosenTargetOrSaysWhyWithTheCodeThatTellsNotFoundFromNotPermitted) {
    testing::FixedProcesses processes;
    processes.running = {{{7, 1}, "zsh", "-zsh", "ann", 1}};
    processes.hidden = "4242";  // another user's, hidden by hidepid
    testing::FakeProc source{[] { return std::int64_t{0}; }};
    TargetResolver targets(&processes, source, TargetChoice{"zsh", true});
    const auto resolved = targets.resolveOption();
    ASSERT_TRUE(resolved && *resolved);
    EXPECT_EQ(std::tie((*resolved)->process.identity.pid, (*resolved)->choice.tree), std::tuple(7, true));
    const auto refused = [&](std::string pidOrName) {
        const auto answer = targets.resolve(TargetChoice{std::move(pidOrName)});
        return answer ? std::string("resolved") : answer.error().message + " / " + answer.error().code.message();
    };
    EXPECT_EQ(refused("bash"), "target bash: no such process / No such process");
    EXPECT_EQ(refused("4242"), "target 4242: pid 4242 belongs to another user and may not be read / Permission denied");
    source.answerOpen(EACCES);
    EXPECT_EQ(refused("7"), "target 7: zsh (pid 7) may not be read by this user / Permission denied");
    EXPECT_EQ(TargetResolver(nullptr, source, std::nullopt).resolve(TargetChoice{"7"}).error().message,
              "target 7: targets are not available on this host");
}

TEST_F(CollectorTest, ATargetsSamplesGoMissingWhileItIsGoneAndItIsFoundAgainByName) {
    testing::FixedProcesses processes;
    std::vector<std::string> logged;
    platform.processes = &processes;
    platform.diagnostics = [&](std::string_view line) { logged.emplace_back(line); };
    processes.running = {{{300, 11}, "app", "/opt/app --x", "ann", 1}};
    TargetResolver targets(&processes, proc, std::nullopt);
    ASSERT_TRUE(collector.setTarget(*targets.resolve(TargetChoice{"app"})));

    collector.start("login", "42", "");
    loop.advance(1.0);
    proc.terminate();  // the app exits
    processes.running.clear();
    loop.advance(2.0);
    processes.running = {{{301, 90}, "app", "/opt/app", "ann", 1}};  // and is started again
    loop.advance(2.0);  // found at 4 s, its first interval ends at 5 s
    EXPECT_THAT(logged, ElementsAre("perfagent: target app (pid 300) exited",
                                    "perfagent: target app found again: app (pid 301)"));
    EXPECT_EQ(proc.liveHandles(), 2u);  // the agent's own and the app's; the exited app's was closed
    collector.stop();
    EXPECT_EQ(proc.liveHandles(), 1u);  // the target's descriptors are closed at stop

    const auto report = urlSession.takeReports().back();
    EXPECT_EQ(report.at("AppCPU").as_object(), boost::json::parse(R"({"1s": 25.0, "5s": 25.0})"));
    EXPECT_EQ(report.at("targetpid"), 301);
    EXPECT_EQ(report.at("averageappcpu").as_double(), 25.0);
    ASSERT_TRUE(collector.setTarget(std::nullopt));  // without a target the report names none
    collector.start("login", "42", "");
    loop.advance(1.0);
    collector.stop();
    EXPECT_FALSE(urlSession.takeReports().back().contains("target"));
}

/// Each measurement's CPU covers its own interval, though another one read the host in between.
TEST_F(CollectorTest, TwoMeasurementsAtOnceEachCoverTheirOwnInterval) {
    proc.setTicks({});
    proc.pushTicks({});               // the start's own baseline, at 0 s
    proc.pushTicks({100, 0, 0, 0});   // the overall's first tick, at 0.5 s: busy since
    proc.pushTicks({100, 0, 100, 0});  // the start's first tick, at 1 s: idle since 0.5 s
    collector.start("", "", "");
    loop.advance(0.5);
    OverallMeasurement overall{platform, probes, server};
    overall.start("", "", "");
    loop.advance(0.5);
    EXPECT_EQ(collector.measurement().series(kCpuSeries).jsonEntries(), "    \"1s\": 50.0");
    ASSERT_TRUE(overall.running());
    EXPECT_EQ(overall.running()->samples.measurement().series(kCpuSeries).jsonEntries(), "    \"1s\": 100.0");
    overall.stop();
    collector.stop();
    loop.advance(1.0);
}

TEST(SystemCpuFigure, TheSumOfTheSharesStaysWithinAllCores) {
    // 1 + 7 + 1 ticks of 9 busy: the three shares, each rounded, sum to 100.00000000000001.
    EXPECT_EQ(systemCpuFigure(cpuShares({}, {.user = 7, .nice = 1, .system = 1})), 100.0);
    EXPECT_TRUE(std::isnan(systemCpuFigure(cpuShares({}, {}))));  // no tick: no figure
}

TEST_F(CollectorTest, ScreenStateCarriesTheSamplesAfterSinceOfTheRunningMeasurement) {
    MetricsCollector earlier{platform, probes, server};
    earlier.start("old", "1", "");
    loop.advance(1.0);
    earlier.stop();
    collector.start("login", "42", "");
    loop.advance(3.0);
    const auto state = [&](std::int64_t since) {
        const ScreenMeasurement candidates[] = {{&earlier, "old", "1", "", "page", earlier.running()},
                                                {&collector, "login", "42", "", "push", collector.running()}};
        return boost::json::parse(screenStateJson(candidates, since));
    };
    auto first = state(1);
    const auto info = first.as_object().at("seriesInfo");
    first.as_object().erase("seriesInfo");
    EXPECT_EQ(info.as_array().size(), 4u);  // the system's series: no target
    EXPECT_EQ(info.at(1), boost::json::parse(R"({"key": "MemoryUsed", "label": "Memory used", "unit": "MB",
                                                 "group": "base", "readout": "memoryUsed"})"));
    EXPECT_EQ(first, boost::json::parse(R"({"running": true,
        "measurement": {"useCaseName": "login", "srNumber": "42", "pageName": null, "started": 1700000001000,
                        "origin": "push", "samples": 3, "target": null},
        "readout": {"systemCpu": 20.0, "memoryUsed": 2750.0, "memoryFree": 1000.0, "memoryCompressed": 1.0,
                    "appCpu": 25.0, "appMemory": 50.0},
        "series": {"from": 2, "CPU": [20.0, 20.0], "MemoryUsed": [2750.0, 2750.0], "MemoryFree": [1000.0, 1000.0],
                   "MemoryCompressed": [1.0, 1.0]}})"));
    EXPECT_EQ(state(3).at("series").at("CPU"), boost::json::array{});
    EXPECT_EQ(state(INT64_MAX).at("series").at("from"), (std::int64_t(1) << 53) + 1);  // no overflow, nothing counted
    collector.stop();
    // Nothing running: the latest started measurement that has samples.
    EXPECT_EQ(state(0).at("measurement").at("origin"), "push");
    EXPECT_EQ(state(0).at("running"), false);
}

}  // namespace
}  // namespace perfagent

#include "collector/metrics_collector.hpp"

#include "report/collection_server.hpp"
#include "screen/screen_state.hpp"
#include "support/fake_kernel.hpp"
#include "support/fake_run_loop.hpp"
#include "support/fake_url_session.hpp"
#include "support/recording_console.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::FakeClock;
using testing::FakeKernel;
using testing::FakeRunLoop;
using testing::FakeUrlSession;
using testing::RecordingConsole;

constexpr double kPage = 4096.0;
constexpr double kPhysical = 8.0 * 1024 * 1024 * 1024;

/// A collector on the fake platform: virtual time, scripted kernel, recorded console and requests.
struct CollectorTest : ::testing::Test {
    FakeRunLoop loop;
    FakeClock clock{loop, 1'700'000'000.0004};
    RecordingConsole console;
    HostApplicationState application;
    Platform platform{clock, console, loop, application};
    FakeKernel kernel{kPage, kPhysical};
    Probes probes{kernel};
    FakeUrlSession session;
    CollectionServer server{session, CollectionEndpoint{}};
    MetricsCollector collector{platform, probes, server};

    std::uint32_t ticks = 0;

    CollectorTest() {
        kernel.setResident(52428800);
        kernel.setThreads({{250, 0}, {1000, ThreadBasicInfo::kFlagsIdle}});
        kernel.setVm({256000, 512000, 128000, 64000, 256});
        // Each reading adds 100 ticks: 10 user, 5 system, 80 idle, 5 nice, so the figure is 20%.
        kernel.setCpuLoad({0, 0, 0, 0});
        probes.cpu.systemUsage();  // take the baseline so every tick measures its own interval
        for (std::uint32_t i = 1; i <= 100; ++i) kernel.pushCpuLoad({10 * i, 5 * i, 80 * i, 5 * i});
    }

    std::vector<boost::json::object> reportBodies() {
        std::vector<boost::json::object> bodies;
        for (const auto& request : session.requests())
            if (request.target == "/entry-point/json" && request.body)
                bodies.push_back(boost::json::parse(*request.body).as_object());
        return bodies;
    }

    static std::vector<std::string> keysOf(const boost::json::object& series) {
        std::vector<std::string> keys;
        for (const auto& member : series) keys.emplace_back(member.key());
        return keys;
    }
};

TEST_F(CollectorTest, TenSecondsGiveTenSamplesTenRunningReportsAndExactReadoutLines) {
    collector.start("login", "42", "home");
    EXPECT_THAT(console.take(), ElementsAre("start time : 1700000000000.0"));

    loop.advance(1.0);
    const auto first = console.take();
    ASSERT_GE(first.size(), 11u);
    EXPECT_EQ(first[0], "Time Remaining In Background : 1.7976931348623157e+308");
    EXPECT_EQ(first[1], "Application CPU: 25.0");
    EXPECT_EQ(first[2], "System CPU: 20.0");
    EXPECT_EQ(first[3], "Application Memory: 52428800.0");
    EXPECT_EQ(first[4],
              "System Memory: (free: 1048576000.0, active: 2097152000.0, inactive: 524288000.0, wired: 262144000.0, "
              "compressed: 1048576.0, total: 8589934592.0)");
    EXPECT_EQ(first[5], "Used System Memory:2883584000.0");
    EXPECT_EQ(first[6], "Percent Of System Memory:33.5693359375");
    EXPECT_EQ(first[7], "Testing cpu data:20.0");
    EXPECT_EQ(first[8],
              "CPU DICT: Optional([\"1s\": 20.0]) ** Memory USED DICT: Optional([\"1s\": 2750.0]) ** Memory Free DICT: "
              "Optional([\"1s\": 1000.0]) **  Memory Compressed DICT: Optional([\"1s\": 1.0]) ** ");
    EXPECT_THAT(first[9], HasSubstr("finished generating dictinary [\"UsecaseName\": \"login\", \"srNumber\": \"42\", "
                                    "\"pagename\": \"home\", \"CPU\": [\"1s\": 20.0]"));
    EXPECT_EQ(first[10], "-------final JSon--------");

    loop.advance(9.0);
    EXPECT_EQ(collector.counter, 10);
    EXPECT_EQ(collector.cpucounter, 10);
    EXPECT_EQ(collector.cpuDict.size(), 10u);
    EXPECT_EQ(collector.memoryUsedDict.get(10), 2750.0);
    EXPECT_EQ(collector.sumCpu, 200.0);
    EXPECT_EQ(collector.maxMemoryFree, 1000.0);

    const auto bodies = reportBodies();
    ASSERT_EQ(bodies.size(), 10u);
    for (std::size_t n = 1; n <= bodies.size(); ++n) {
        const auto& body = bodies[n - 1];
        EXPECT_EQ(body.at("totalduration").as_double(), 1000.0 * static_cast<double>(n));
        EXPECT_EQ(body.at("CPU").as_object().size(), n);
        EXPECT_EQ(body.at("pagename").as_string(), "home");
        EXPECT_EQ(body.at("averagecpu").as_double(), 20.0);
    }
    EXPECT_THAT(keysOf(bodies.back().at("MemoryFree").as_object()),
                ElementsAre("1s", "2s", "3s", "4s", "5s", "6s", "7s", "8s", "9s", "10s"));
}

TEST_F(CollectorTest, ANaNSystemCpuKeepsTheLastFigureAndAFirstNaNRecordsZero) {
    kernel.setCpuLoad({0, 0, 0, 0});  // no tick ever elapses: every reading is NaN
    collector.start("", "", "");
    loop.advance(2.0);
    const auto lines = console.take();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "System CPU: nan"), lines.end());
    EXPECT_EQ(collector.cpuDict.get(1), 0.0);
    EXPECT_EQ(collector.cpuDict.get(2), 0.0);

    kernel.pushCpuLoad({30, 10, 50, 10});  // 50% over this interval
    kernel.pushCpuLoad({30, 10, 50, 10});  // then nothing again
    loop.advance(2.0);
    EXPECT_EQ(collector.cpuDict.get(3), 50.0);
    EXPECT_EQ(collector.cpuDict.get(4), 50.0);
    EXPECT_EQ(collector.systemCPULatest, 50.0);
    EXPECT_EQ(collector.sumCpu, 100.0);
    EXPECT_EQ(reportBodies().size(), 4u);  // every report stayed sendable
}

TEST_F(CollectorTest, RestartResetsKeysAndOnlyTheNewTimerKeepsSampling) {
    collector.start("a", "1", "");
    loop.advance(3.0);
    const auto first = session.take();
    collector.start("b", "2", "");
    EXPECT_TRUE(collector.cpuDict.empty());
    EXPECT_EQ(collector.counter, 0);
    loop.advance(2.0);
    // One timer only: two samples in two seconds, keyed from 1s again.
    EXPECT_EQ(collector.counter, 2);
    EXPECT_EQ(collector.cpucounter, 5);
    EXPECT_EQ(collector.cpuDict.size(), 2u);
    collector.stop();
    const auto samplesAtStop = collector.cpucounter;
    loop.advance(5.0);
    EXPECT_EQ(collector.cpucounter, samplesAtStop);  // no timer survives a stop
    EXPECT_EQ(loop.pending(), 0u);

    // Running reports of one measurement may replace each other while unsent; nothing else may.
    const auto second = session.take();
    ASSERT_EQ(first.size(), 3u);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_NE(first[0].coalesceKey, 0u);
    EXPECT_EQ(first[2].coalesceKey, first[0].coalesceKey);
    EXPECT_NE(second[0].coalesceKey, first[0].coalesceKey);
    EXPECT_EQ(second[2].coalesceKey, 0u);  // the final report
}

TEST_F(CollectorTest, TheFirstSampleCoversTheMeasurementsFirstSecondOnly) {
    kernel.setCpuLoad({0, 0, 0, 0});
    probes.cpu.systemUsage();
    kernel.pushCpuLoad({0, 0, 1000, 0});    // an idle while before the start
    kernel.pushCpuLoad({10, 5, 1080, 5});  // the first second: 20 % busy
    collector.start("u", "s", "");
    loop.advance(1.0);
    EXPECT_EQ(collector.cpuDict.get(1), 20.0);
}

TEST_F(CollectorTest, StopPostsTheFinalReportAndClearsTheAccumulators) {
    collector.stop();  // never started: nothing at all
    EXPECT_TRUE(console.take().empty());
    EXPECT_TRUE(session.requests().empty());
    collector.start("login", "42", "");
    loop.advance(3.0);
    console.take();
    clock.shift(0.25);
    collector.stop();
    const auto lines = console.take();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "stop time : 1700000003250.0");
    EXPECT_EQ(lines[1], "entered stoping");
    EXPECT_EQ(lines[2], "pagename:Optional(\"\")");
    EXPECT_THAT(lines[3], HasSubstr("finished generating dictinary [\"UsecaseName\": \"login\", \"srNumber\": \"42\", "
                                    "\"CPU\": [\"1s\": 20.0, \"2s\": 20.0, \"3s\": 20.0]"));
    EXPECT_EQ(lines[4], "valid object : true");
    EXPECT_EQ(lines[5], "-------final JSon--------");
    const auto finalReport = reportBodies().back();
    EXPECT_FALSE(finalReport.contains("pagename"));
    EXPECT_EQ(finalReport.at("totalduration").as_double(), 3250.0);
    EXPECT_EQ(finalReport.at("averagememoryused").as_double(), 2750.0);
    EXPECT_EQ(finalReport.at("averagememoryfree").as_double(), 1000.0);
    EXPECT_EQ(finalReport.at("maxcpu").as_double(), 20.0);

    EXPECT_EQ(collector.counter, 0);
    EXPECT_EQ(collector.sumMemoryUsed, 0.0);
    EXPECT_EQ(collector.maxCpu, 0.0);
    EXPECT_EQ(collector.cpuDict.size(), 3u);  // kept until the next start

    // A second stop runs again with nothing counted: NaN averages, so no body.
    session.take();
    collector.stop();
    const auto again = console.take();
    EXPECT_EQ(again.at(4), "valid object : false");
    EXPECT_EQ(again.size(), 5u);
    ASSERT_EQ(session.requests().size(), 1u);
    EXPECT_FALSE(session.requests()[0].body.has_value());
}

TEST_F(CollectorTest, InterimPushAveragesOverThisMeasurementAndResetsNothing) {
    collector.start("first", "1", "page");
    loop.advance(4.0);
    collector.stop();
    // The second measurement reads 50% per tick.
    kernel.setCpuLoad({0, 0, 0, 0});
    probes.cpu.systemUsage();
    for (std::uint32_t i = 1; i <= 10; ++i) kernel.pushCpuLoad({25 * i, 25 * i, 50 * i, 0});
    collector.start("second", "2", "page");
    loop.advance(2.0);
    session.take();
    console.take();

    collector.backgroundPush();
    const auto lines = console.take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[0], HasSubstr("stop time : "));
    EXPECT_EQ(lines[1], "-------final JSon--------");
    const auto interim = reportBodies().at(0);
    EXPECT_EQ(interim.at("averagecpu").as_double(), 50.0);  // 100 / 2 samples, not / 6 lifetime ticks
    EXPECT_EQ(interim.at("UsecaseName").as_string(), "second");
    EXPECT_FALSE(interim.contains("pagename"));
    EXPECT_EQ(collector.counter, 2);
    EXPECT_EQ(collector.sumCpu, 100.0);
}

TEST_F(CollectorTest, OverallMeasurementTicksAtOnceEverySecondAndFinishesAfterTheStop) {
    MetricsCollector& overall = collector;
    overall.startOverall("checkout", "7", "");
    EXPECT_THAT(console.take(), ElementsAre("start time : 1700000000000.0", "UsecaseName************ : checkout",
                                            "SrNo************ : 7", "PageName************ : "));
    loop.advance(5.5);  // ticks at 0, 1, 2, 3, 4, 5 seconds
    overall.stopOverall();
    EXPECT_FALSE(overall.startStop);
    console.take();
    loop.advance(2.0);

    const auto bodies = reportBodies();
    ASSERT_EQ(bodies.size(), 7u);  // six running reports and the overall final report
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_FALSE(bodies[i].contains("UsecaseName"));  // the sampling collector carries no names
        EXPECT_EQ(bodies[i].at("totalduration").as_double(), 1000.0 * static_cast<double>(i));
    }
    EXPECT_EQ(overall.counter, 0);  // ticks went to the sampling collector
    const auto& final = bodies.back();
    EXPECT_EQ(final.at("UsecaseName").as_string(), "checkout");
    EXPECT_EQ(final.at("srNumber").as_string(), "7");
    EXPECT_FALSE(final.contains("pagename"));
    EXPECT_EQ(final.at("CPU").as_object().size(), 6u);
    EXPECT_EQ(final.at("totalduration").as_double(), 5500.0);  // from the printed start instant to the stop

    // The final report's lines come after the stop command's own lines, not during it.
    const auto lines = console.take();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "stop time : 1700000005500.0");
    EXPECT_THAT(lines[5], HasSubstr("\"6s\": 20.0]) : 6"));  // "test cpuhash : "
    EXPECT_EQ(loop.pending(), 0u);  // the loop ended
}

/// Each overall measurement has its own stop: a start ends the one running (its final report first), a
/// stop ends exactly the running one, and a burst never leaves loops side by side.
TEST_F(CollectorTest, OverallStartsAndStopsEndExactlyTheRunningMeasurement) {
    collector.startOverall("a", "1", "");
    loop.advance(2.5);  // three ticks
    collector.stopOverall();
    collector.startOverall("b", "2", "");  // within the same second
    loop.advance(1.5);
    for (const char* name : {"c", "d", "e"}) collector.startOverall(name, "3", "");  // a burst
    collector.stopOverall();  // before the last loop took a step
    loop.advance(3.0);
    collector.stopOverall();  // nothing runs: no report

    std::vector<std::string> finals;
    std::size_t running = 0, bodiless = 0;
    for (const auto& request : session.requests()) {
        if (!request.body) {
            ++bodiless;
            continue;
        }
        const auto report = boost::json::parse(*request.body).as_object();
        if (report.contains("UsecaseName"))
            finals.emplace_back(std::string(report.at("UsecaseName").as_string()) + "/" +
                                std::to_string(report.at("CPU").as_object().size()));
        else
            ++running;
    }
    EXPECT_THAT(finals, ElementsAre("a/3", "b/2"));
    EXPECT_EQ(running, 5u);
    EXPECT_EQ(bodiless, 3u);  // c, d and e ended before their first sample
    EXPECT_EQ(loop.pending(), 0u);
}

/// A process list the test rewrites as processes come and go.
struct ScriptedProcesses final : ProcessList {
    std::vector<ProcessInfo> running;
    std::vector<ProcessInfo> processes() override { return running; }
};

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

TEST_F(CollectorTest, ATargetsSamplesGoMissingWhileItIsGoneAndItIsFoundAgainByName) {
    ScriptedProcesses processes;
    std::vector<std::string> logged;
    platform.processes = &processes;
    platform.diagnostics = [&](std::string_view line) { logged.emplace_back(line); };
    EXPECT_EQ(collector.setTarget(TargetChoice{"app"}), "target app: no such process");
    processes.running = {{{300, 11}, "app", "/opt/app --x", "ann", 1}};
    kernel.answerTaskForPid(kKernProtectionFailure);
    EXPECT_EQ(collector.setTarget(TargetChoice{"300"}), "target 300: app (pid 300) may not be read by this user");
    kernel.answerTaskForPid(kKernSuccess);
    ASSERT_EQ(collector.setTarget(TargetChoice{"app"}), std::nullopt);

    collector.start("login", "42", "");
    loop.advance(1.0);
    kernel.terminate();  // the app exits
    processes.running.clear();
    loop.advance(2.0);
    EXPECT_EQ(std::ranges::count(console.take(), "target app (pid 300) exited"), 1);
    processes.running = {{{301, 90}, "app", "/opt/app", "ann", 1}};  // and is started again
    loop.advance(1.0);
    EXPECT_THAT(console.take(), ::testing::Contains("target app found again: app (pid 301)"));
    EXPECT_THAT(logged, ElementsAre("perfagent: target app (pid 300) exited",
                                    "perfagent: target app found again: app (pid 301)"));
    EXPECT_EQ(kernel.liveTasks(), 1u);  // the exited app's task was given back
    collector.stop();

    const auto report = reportBodies().back();
    const auto keys = keysOf(report);
    EXPECT_THAT(std::vector(keys.end() - 9, keys.end()),
                ElementsAre("totalduration", "target", "targetpid", "AppCPU", "AppMemory", "averageappcpu", "maxappcpu",
                            "averageappmemory", "maxappmemory"));
    EXPECT_EQ(keysOf(report.at("CPU").as_object()), (std::vector<std::string>{"1s", "2s", "3s", "4s"}));
    EXPECT_EQ(report.at("AppCPU").as_object(), boost::json::parse(R"({"1s": 25.0, "4s": 25.0})"));
    EXPECT_EQ(report.at("AppMemory").as_object(), boost::json::parse(R"({"1s": 50.0, "4s": 50.0})"));
    EXPECT_EQ(report.at("target"), "app");
    EXPECT_EQ(report.at("targetpid"), 301);
    EXPECT_EQ(report.at("averageappcpu").as_double(), 25.0);
    EXPECT_EQ(report.at("maxappmemory").as_double(), 50.0);

    // Without a target the report is today's: nothing after "totalduration".
    ASSERT_EQ(collector.setTarget(std::nullopt), std::nullopt);
    collector.start("login", "42", "");
    loop.advance(1.0);
    collector.stop();
    const auto plain = reportBodies().back();
    EXPECT_EQ(std::prev(plain.end())->key(), "totalduration");
}

TEST_F(CollectorTest, ScreenStateCarriesTheSamplesAfterSinceOfTheRunningMeasurement) {
    MetricsCollector earlier{platform, probes, server};
    earlier.start("old", "1", "");
    loop.advance(1.0);
    earlier.stop();
    collector.start("login", "42", "home");
    loop.advance(3.0);
    const auto state = [&](std::int64_t since) {
        const ScreenMeasurement candidates[] = {{&earlier, "old", "1", "", "page", earlier.running()},
                                                {&collector, "login", "42", "home", "push", collector.running()}};
        return boost::json::parse(screenStateJson(candidates, since));
    };
    EXPECT_EQ(state(1), boost::json::parse(R"({"running": true,
        "measurement": {"useCaseName": "login", "srNumber": "42", "pageName": "home", "started": 1700000001000,
                        "origin": "push", "samples": 3},
        "readout": {"systemCpu": 20.0, "memoryUsed": 2750.0, "memoryFree": 1000.0, "memoryCompressed": 1.0,
                    "appCpu": 25.0, "appMemory": 50.0},
        "series": {"from": 2, "CPU": [20.0, 20.0], "MemoryUsed": [2750.0, 2750.0], "MemoryFree": [1000.0, 1000.0],
                   "MemoryCompressed": [1.0, 1.0]}})"));
    EXPECT_EQ(state(3).at("series"), boost::json::parse(R"({"from": 4, "CPU": [], "MemoryUsed": [], "MemoryFree": [],
        "MemoryCompressed": []})"));
    collector.stop();
    // Nothing running: the latest started measurement that has samples.
    EXPECT_EQ(state(0).at("measurement").at("origin"), "push");
    EXPECT_EQ(state(0).at("running"), false);
}

}  // namespace
}  // namespace perfagent

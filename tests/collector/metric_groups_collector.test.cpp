// Metric groups in a measurement: their series, figures and live view only when asked for, and a source the
// host lacks said once.

#include "collector/metrics_collector.hpp"
#include "collector/overall_measurement.hpp"
#include "screen/screen_state.hpp"
#include "support/fake_shell.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace perfagent {
namespace {

std::string netDev(std::uint64_t received) {
    return "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n"
           "    lo: 99999 1 0 0 0 0 0 0 99999 1 0 0 0 0 0 0\n"
           "  eth0: " + std::to_string(received) + " 1 0 0 0 0 0 0 512 1 0 0 0 0 0 0\n";
}

struct MetricGroupsCollectorTest : ::testing::Test, testing::FakeShell {
    testing::TempDirectory root;
    MetricsCollector collector{platform, probes, server};

    MetricGroupsCollectorTest() {
        proc.root = root.path().string();
        root.write("proc/meminfo", "MemAvailable: 3145728 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n");
        root.write("proc/loadavg", "0.50 0.40 0.30 2/300 77\n");
        root.write("proc/net/dev", netDev(0));
    }
    MetricGroupSet groups(std::initializer_list<MetricGroup> list) {
        MetricGroupSet set;
        for (const MetricGroup group : list) set.add(group);
        return set;
    }
};

TEST_F(MetricGroupsCollectorTest, GroupsAddTheirSeriesAndFiguresAndALackingSourceIsSaidOnce) {
    collector.setMetrics(groups({MetricGroup::Memory, MetricGroup::Load, MetricGroup::Net, MetricGroup::Thermal}));
    collector.start("login", "", "");
    const std::string leftOut = "metrics: thermal: no thermal zone in " + root.path().string() + "/sys/class/thermal; left out";
    for (const std::uint64_t received : {2048, 2048 + 6144}) {  // 2 KB/s, then 6 KB/s
        root.write("proc/net/dev", netDev(received));
        loop.advance(1.0);
    }
    EXPECT_EQ(std::ranges::count(console.take(), leftOut), 1);
    collector.stop();
    const auto report = urlSession.takeReports().back();
    EXPECT_EQ(report.at("NetworkIn"), boost::json::parse(R"({"1s": 2.0, "2s": 6.0})"));
    EXPECT_EQ(report.at("averagenetworkin").as_double(), 4.0);
    EXPECT_EQ(report.at("maxnetworkin").as_double(), 6.0);
    EXPECT_EQ(report.at("MemoryAvailable"), boost::json::parse(R"({"1s": 3072.0, "2s": 3072.0})"));
    EXPECT_EQ(report.at("averageloadaverage").as_double(), 0.5);
    EXPECT_EQ(report.at("maxrunqueue").as_double(), 2.0);
    // Only the series of the groups the host has; none of the app's without a target.
    EXPECT_FALSE(report.contains("Temperature") || report.contains("averagetemperature") || report.contains("AppThreads"));
    // The system's series come first, the new ones after them; the fixed figures keep their places.
    std::vector<std::string> keys;
    for (const auto& member : report) keys.emplace_back(member.key());
    EXPECT_THAT(keys, ::testing::ElementsAre("UsecaseName", "CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed",
        "MemoryAvailable", "SwapUsed", "LoadAverage", "RunQueue", "NetworkIn", "NetworkOut", "averagecpu",
        "averagememoryfree", "averagememorycompressed", "averagememoryused", "maxmemoryfree", "maxmemorycompressed",
        "maxmemoryused", "maxcpu", "averagememoryavailable", "maxmemoryavailable", "averageswapused", "maxswapused",
        "averageloadaverage", "maxloadaverage", "averagerunqueue", "maxrunqueue", "averagenetworkin", "maxnetworkin",
        "averagenetworkout", "maxnetworkout", "totalduration"));

    // The live view carries them too; a start without groups drops them everywhere.
    const ScreenMeasurement shown[] = {{&collector, "login", "", "", "push", false}};
    const auto state = boost::json::parse(screenStateJson(shown, 0));
    EXPECT_EQ(state.at("readout").at("networkIn").as_double(), 6.0);
    EXPECT_EQ(state.at("series").at("NetworkIn"), boost::json::parse("[2.0, 6.0]"));
    collector.setMetrics({});
    collector.start("plain", "", "");
    loop.advance(1.0);
    collector.stop();
    EXPECT_FALSE(urlSession.takeReports().back().contains("NetworkIn"));
    EXPECT_THAT(console.take(), ::testing::Not(::testing::Contains(leftOut)));
}

TEST_F(MetricGroupsCollectorTest, OverallRunsTakeTheGroupsSetBeforeTheirStart) {
    OverallMeasurement overall{platform, probes, server};
    overall.setMetrics(groups({MetricGroup::Load}));
    overall.start("all", "", "");
    loop.advance(1.0);
    overall.stop();
    loop.runUntilIdle();
    const auto report = urlSession.takeReports().back();
    EXPECT_EQ(report.at("LoadAverage").as_object().size(), 2u);  // the tick at once and the one a second later
    EXPECT_FALSE(report.contains("MemoryAvailable"));
}

}  // namespace
}  // namespace perfagent

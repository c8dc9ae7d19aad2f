// The metric groups on stored proc and sys trees: every figure, wraps, resets and missing sources.

#include "probes/metric_groups.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

namespace perfagent {
namespace {

using enum GroupSeries;
using testing::TempDirectory;

double at(const GroupFigures& figures, GroupSeries series) { return figures[static_cast<std::size_t>(series)]; }

MetricGroupSet allGroups() {
    MetricGroupSet groups;
    for (std::size_t i = 0; i < kMetricGroupCount; ++i) groups.add(static_cast<MetricGroup>(i));
    return groups;
}

std::string netDev(std::uint64_t eth0In, std::uint64_t eth0Out, bool withWlan) {
    std::string text =
        "Inter-|   Receive                                                |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
        "    lo: 9000000 10 0 0 0 0 0 0 9000000 10 0 0 0 0 0 0\n";
    text += "  eth0: " + std::to_string(eth0In) + " 5 0 0 0 0 0 0 " + std::to_string(eth0Out) + " 5 0 0 0 0 0 0\n";
    if (withWlan) text += "wlan0: 204800 1 0 0 0 0 0 0 0 1 0 0 0 0 0 0\n";
    return text;
}

/// A block device's stat file: sectors read and written among the other counters.
std::string blockStat(std::uint64_t sectorsRead, std::uint64_t sectorsWritten) {
    return "    1 2 " + std::to_string(sectorsRead) + " 4 5 6 " + std::to_string(sectorsWritten) + " 0 0 0 0 0 0 0 0 0 0\n";
}

/// A host with every source: two zones (one that cannot be read), two views of one package counter and a
/// core zone, a system battery and a mouse's, a GPU, and the target process 4242.
struct StoredHost {
    TempDirectory root;
    std::int64_t nowNs = 0;

    StoredHost() {
        root.write("proc/meminfo", "MemTotal: 8000000 kB\nMemFree: 100 kB\nMemAvailable: 2097152 kB\n"
                                   "SwapCached: 0 kB\nSwapTotal: 1048576 kB\nSwapFree: 524288 kB\n");
        root.write("proc/loadavg", "1.25 0.50 0.25 3/412 9000\n");
        root.write("proc/net/dev", netDev(1000, 2000, true));
        root.write("sys/block/vda/stat", blockStat(100, 200));  // a whole disk
        root.write("sys/block/vda/device/vendor", "0x1af4\n");
        root.write("sys/block/loop0/stat", blockStat(999999, 999999));  // a file on it: its bytes again
        root.write("sys/class/thermal/thermal_zone0/temp", "41500\n");
        root.write("sys/class/thermal/thermal_zone1/temp", "57250\n");
        root.write("sys/class/thermal/thermal_zone2/temp", "");  // a sensor that is off reads nothing
        for (const char* zone : {"intel-rapl:0", "intel-rapl-mmio:0"}) {
            root.write(std::string("sys/class/powercap/") + zone + "/name", "package-0\n");
            root.write(std::string("sys/class/powercap/") + zone + "/max_energy_range_uj", "262143328850\n");
            root.write(std::string("sys/class/powercap/") + zone + "/energy_uj", "262140000000\n");
        }
        root.write("sys/class/powercap/intel-rapl:0:0/name", "core\n");
        root.write("sys/class/powercap/intel-rapl:0:0/energy_uj", "5\n");
        battery("BAT0", "System", "Discharging", -1500000, 8000000);
        battery("hidpp_battery_0", "Device", "Discharging", 900000, 4000000);
        root.write("sys/class/power_supply/AC/type", "Mains\n");
        root.write("sys/class/drm/card0/device/gpu_busy_percent", "37\n");
        root.write("sys/class/drm/card0-DP-1/status", "connected\n");
        app(7, 1000, 3000);
        for (const char* fd : {"0", "1", "2", "5"}) root.write(std::string("proc/4242/fd/") + fd, "");
    }
    void battery(const std::string& name, const char* scope, const char* status, long microamps, long microvolts) {
        const std::string base = "sys/class/power_supply/" + name + "/";
        root.write(base + "type", "Battery\n");
        root.write(base + "scope", std::string(scope) + "\n");
        root.write(base + "status", std::string(status) + "\n");
        root.write(base + "current_now", std::to_string(microamps) + "\n");
        root.write(base + "voltage_now", std::to_string(microvolts) + "\n");
    }
    /// Both views of the package give the same counter.
    void energy(const std::string& microjoules) {
        for (const char* zone : {"intel-rapl:0", "intel-rapl-mmio:0"})
            root.write(std::string("sys/class/powercap/") + zone + "/energy_uj", microjoules);
    }
    void app(int threads, std::uint64_t readBytes, std::uint64_t writtenBytes) {
        root.write("proc/4242/stat", "4242 (game) S 1 4242 4242 0 -1 4194560 100 0 0 0 10 5 0 0 20 0 " + std::to_string(threads) +
                                         " 0 12345 1000000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n");
        root.write("proc/4242/io", "rchar: " + std::to_string(readBytes) + "\nwchar: " + std::to_string(writtenBytes) +
                                       "\nsyscr: 1\nsyscw: 1\nread_bytes: 0\nwrite_bytes: 0\ncancelled_write_bytes: 0\n");
    }
    MetricGroupSampler sampler(MetricGroupSet groups, Pid pid = 4242) {
        return MetricGroupSampler(groups, pid, root.path().string(), [this] { return nowNs; });
    }
};

TEST(MetricGroups, EveryGroupFromAStoredHost) {
    StoredHost host;
    auto sampler = host.sampler(allGroups());
    EXPECT_TRUE(sampler.leftOut().empty()) << sampler.leftOut().front();
    EXPECT_EQ(sampler.series().size(), kGroupSeriesCount);

    host.nowNs = 2'000'000'000;  // two seconds
    host.root.write("proc/net/dev", netDev(1000 + 2048, 2000 + 4096, true));
    host.root.write("sys/block/vda/stat", blockStat(100 + 8, 200 + 16));
    host.energy("262143328850\n");  // 3.32885 J later
    host.app(9, 1000 + 10240, 3000);
    const GroupFigures figures = sampler.read();

    EXPECT_EQ(at(figures, MemoryAvailable), 2048.0);
    EXPECT_EQ(at(figures, SwapUsed), 512.0);
    EXPECT_EQ(at(figures, LoadAverage), 1.25);
    EXPECT_EQ(at(figures, RunQueue), 3.0);
    EXPECT_EQ(at(figures, NetworkIn), 1.0);   // 2048 bytes in 2 s; loopback not counted
    EXPECT_EQ(at(figures, NetworkOut), 2.0);
    EXPECT_EQ(at(figures, DiskRead), 2.0);    // 8 sectors of the disk alone, not of the loop device
    EXPECT_EQ(at(figures, DiskWrite), 4.0);
    EXPECT_EQ(at(figures, Temperature), 57.25);
    EXPECT_DOUBLE_EQ(at(figures, PowerPackage), 3.32885 / 2);  // the package once, not its mmio view too
    EXPECT_EQ(at(figures, PowerBattery), 12.0);  // 1.5 A × 8 V, the mouse aside
    EXPECT_EQ(at(figures, GPUBusy), 37.0);
    EXPECT_EQ(at(figures, AppThreads), 9.0);
    EXPECT_EQ(at(figures, AppFileDescriptors), 4.0);
    EXPECT_EQ(at(figures, AppRead), 5.0);
    EXPECT_EQ(at(figures, AppWrite), 0.0);

    // The energy counter wraps past its range; wlan0 goes away; the battery charges.
    host.nowNs = 3'000'000'000;
    host.energy("1000000\n");
    host.root.write("proc/net/dev", netDev(1000 + 2048 + 1024, 2000 + 4096, false));
    host.root.write("sys/class/power_supply/BAT0/status", "Charging\n");
    const GroupFigures next = sampler.read();
    EXPECT_DOUBLE_EQ(at(next, PowerPackage), 1.0);  // 1 J in 1 s across the wrap, no spike
    EXPECT_EQ(at(next, NetworkIn), 1.0);             // eth0 alone: wlan0's bytes are not taken back
    EXPECT_EQ(at(next, PowerBattery), 0.0);

    // wlan0 comes back and eth0 restarts its counters (a driver reload): no figure rather than a spike.
    host.nowNs = 4'000'000'000;
    host.root.write("proc/net/dev", netDev(10, 20, true));
    const GroupFigures reset = sampler.read();
    EXPECT_TRUE(std::isnan(at(reset, NetworkIn)) && std::isnan(at(reset, NetworkOut)));
    host.nowNs = 5'000'000'000;
    host.root.write("proc/net/dev", netDev(10 + 3072, 20, true));
    EXPECT_EQ(at(sampler.read(), NetworkIn), 3.0);

    // A reading at the same instant has no interval: no rates, the levels still.
    const GroupFigures again = sampler.read();
    EXPECT_TRUE(std::isnan(at(again, NetworkIn)) && std::isnan(at(again, PowerPackage)) && std::isnan(at(again, AppRead)));
    EXPECT_EQ(at(again, AppThreads), 9.0);
}

TEST(MetricGroups, GroupsAHostLacksAreLeftOutWithTheirReasons) {
    StoredHost host;
    for (const char* gone : {"sys/class/thermal", "sys/class/drm", "sys/class/power_supply/BAT0", "sys/block/vda/device"})
        std::filesystem::remove_all(host.root / gone);
    host.root.write("proc/meminfo", "MemTotal: 8000000 kB\nMemFree: 100 kB\n");  // a kernel before MemAvailable
    MetricGroupSet groups = allGroups();
    auto sampler = host.sampler(groups, 0);
    const std::string root = host.root.path().string();
    EXPECT_EQ(sampler.leftOut(), (std::vector<std::string>{
                                     "memory: " + root + "/proc/meminfo has no MemAvailable, SwapTotal and SwapFree lines",
                                     "disk: no whole disk in " + root + "/sys/block (none has a device link)",
                                     "thermal: no thermal zone in " + root + "/sys/class/thermal",
                                     "power: no battery with a power or current reading in " + root + "/sys/class/power_supply",
                                     "gpu: no GPU busy figure in " + root + "/sys/class/drm (no driver here exposes one)",
                                     "app: it needs a target process",
                                 }));
    // What is left goes on: load, net and the package counter.
    EXPECT_EQ(sampler.series(), (std::vector<GroupSeries>{LoadAverage, RunQueue, NetworkIn, NetworkOut, PowerPackage}));
    host.nowNs = 1'000'000'000;
    const GroupFigures figures = sampler.read();
    EXPECT_TRUE(std::isnan(at(figures, Temperature)) && std::isnan(at(figures, MemoryAvailable)));
    EXPECT_EQ(at(figures, LoadAverage), 1.25);

    // A process that has gone.
    MetricGroupSet app;
    app.add(MetricGroup::App);
    EXPECT_EQ(host.sampler(app, 99999).leftOut(), std::vector<std::string>{"app: " + root + "/proc/99999: No such file or directory"});
}

TEST(MetricGroups, GroupListsAndTheirErrors) {
    const auto groups = parseMetricGroups("net,app");
    ASSERT_TRUE(groups);
    EXPECT_TRUE(groups->has(MetricGroup::Net) && groups->has(MetricGroup::App) && !groups->has(MetricGroup::Memory));
    for (const char* bad : {"net,cpu", "", "net,", "Net"})
        EXPECT_FALSE(parseMetricGroups(bad)) << bad;
    EXPECT_EQ(parseMetricGroups("net,cpu").error().message,
              "'cpu' is not a metric group (groups: memory, load, net, disk, thermal, power, gpu, app)");
}

}  // namespace
}  // namespace perfagent

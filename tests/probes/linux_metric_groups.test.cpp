// The metric groups on this machine's own proc and sys, each checked against the files as the test reads
// them itself. The sampler's clock is the test's: each time the sampler has read its counters it asks the
// time, and the test reads the same files then, so both readings are of the same instants; a fixed second
// passes between readings.

#include "platform/proc_parsers.hpp"
#include "probes/metric_groups.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <signal.h>
#include <string>
#include <vector>

namespace perfagent {
namespace {

using enum GroupSeries;
using testing::readFile;

double at(const GroupFigures& figures, GroupSeries series) { return figures[static_cast<std::size_t>(series)]; }

MetricGroupSet only(MetricGroup group) {
    MetricGroupSet groups;
    groups.add(group);
    return groups;
}

/// A sampler of `groups` whose clock calls `atReading` and then answers whole seconds, one more each time.
struct Sampled {
    Sampled(MetricGroupSet groups, std::function<void()> atReading, Pid pid = 0)
        : sampler(groups, pid, "/", [this, atReading] { atReading(); return seconds++ * 1'000'000'000; }) {}
    std::int64_t seconds = 0;
    MetricGroupSampler sampler;
};

/// Received and sent bytes over the interfaces but loopback, as /proc/net/dev has them now.
std::pair<double, double> networkTotals() {
    double in = 0, out = 0;
    EXPECT_TRUE(forEachNetDevice(readFile("/proc/net/dev"), [&](std::string_view name, std::uint64_t received, std::uint64_t sent) {
        if (name != "lo") in += static_cast<double>(received), out += static_cast<double>(sent);
    }));
    return {in, out};
}

/// Sectors read and written over the whole disks (those with a device link), as /proc/diskstats has them now.
std::pair<double, double> diskTotals() {
    double read = 0, written = 0;
    std::istringstream lines(readFile("/proc/diskstats"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream columns(line);
        std::string major, minor, name;
        double values[7] = {};
        columns >> major >> minor >> name;
        for (double& value : values) columns >> value;
        if (std::filesystem::exists("/sys/block/" + name + "/device")) read += values[2], written += values[6];
    }
    return {read, written};
}

TEST(LinuxMetricGroups, MemoryAndLoadAsTheFilesSayThem) {
    MetricGroupSet groups = only(MetricGroup::Memory);
    groups.add(MetricGroup::Load);
    MetricGroupSampler sampler(groups, 0);
    ASSERT_TRUE(sampler.leftOut().empty());
    const GroupFigures figures = sampler.read();
    const auto memory = parseMemoryAvailable(readFile("/proc/meminfo"));
    const auto load = parseLoadavg(readFile("/proc/loadavg"));
    ASSERT_TRUE(memory && load);
    EXPECT_NEAR(at(figures, MemoryAvailable), static_cast<double>(memory->available) / 1024, 64);
    EXPECT_EQ(at(figures, SwapUsed), static_cast<double>(memory->swapTotal - memory->swapFree) / 1024);
    EXPECT_NEAR(at(figures, LoadAverage), load->oneMinute, 0.5);
    EXPECT_GE(at(figures, RunQueue), 1.0);  // this test, at least
}

TEST(LinuxMetricGroups, NetworkOutCountsWhatLeavesByARealInterface) {
    // Datagrams to a documentation address go out by the default route, whatever becomes of them there
    // (an unconnected socket is told of no refusal).
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(9), .sin_addr = {}, .sin_zero = {}};
    ::inet_pton(AF_INET, "198.51.100.1", &to.sin_addr);
    const auto send = [&](std::string_view bytes) {
        return ::sendto(sock, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    if (send("") != 0) {
        ::close(sock);
        GTEST_SKIP() << "no route off this machine";
    }
    std::vector<std::pair<double, double>> totals;
    Sampled sampled(only(MetricGroup::Net), [&] { totals.push_back(networkTotals()); });
    ASSERT_TRUE(sampled.sampler.leftOut().empty());
    const std::string datagram(1000, 'x');
    for (int i = 0; i < 100; ++i) ASSERT_EQ(send(datagram), 1000);
    ::close(sock);
    // The interface counts a datagram when it goes out, after the queue before it.
    const auto sent = [&] { return networkTotals().second - totals[0].second; };
    for (int i = 0; i < 200 && sent() < 90 * 1024; ++i) ::usleep(10'000);
    const GroupFigures figures = sampled.sampler.read();
    ASSERT_EQ(totals.size(), 2u);
    // Other traffic between the sampler's reading and the test's is a few packets at most.
    EXPECT_NEAR(at(figures, NetworkOut), (totals[1].second - totals[0].second) / 1024, 8);
    EXPECT_NEAR(at(figures, NetworkIn), (totals[1].first - totals[0].first) / 1024, 8);
    EXPECT_GE(at(figures, NetworkOut), 90.0);  // the 100 KB sent, but for a few a queue may have dropped
}

TEST(LinuxMetricGroups, DiskWriteCountsWhatReachesTheWholeDisk) {
    std::vector<std::pair<double, double>> totals;
    Sampled sampled(only(MetricGroup::Disk), [&] { totals.push_back(diskTotals()); });
    if (!sampled.sampler.leftOut().empty()) GTEST_SKIP() << sampled.sampler.leftOut().front();
    const testing::TempDirectory directory;
    const int fd = ::open((directory / "written").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(1 << 20, 'd');
    for (int i = 0; i < 4; ++i) ASSERT_EQ(::write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
    const GroupFigures figures = sampled.sampler.read();
    ASSERT_EQ(totals.size(), 2u);
    // Sectors are 512 bytes; bytes written by others between the sampler's reading and the test's are few.
    EXPECT_NEAR(at(figures, DiskWrite), (totals[1].second - totals[0].second) * 512 / 1024, 64);
    EXPECT_NEAR(at(figures, DiskRead), (totals[1].first - totals[0].first) * 512 / 1024, 64);
    if (std::filesystem::is_directory("/sys/block/vda") || std::filesystem::is_directory("/sys/block/sda")) {
        EXPECT_GE(at(figures, DiskWrite), 4096.0);  // /tmp is on the disk here, not in memory
    }
}

TEST(LinuxMetricGroups, AppFiguresOfAProcessThatReadsAndWritesKnownBytes) {
    int go[2], done[2];
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(done, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        char byte = 0;
        std::string bytes(30000, 'w');
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        (void)!::read(go[0], &byte, 1);                        // 1 read
        (void)!::write(null, bytes.data(), bytes.size());      // 30000 written
        (void)!::read(::open("/dev/zero", O_RDONLY), bytes.data(), 20000);  // 20000 read
        (void)!::write(done[1], &byte, 1);                     // 1 written
        ::pause();
    }
    Sampled sampled(only(MetricGroup::App), [] {}, child);
    ASSERT_TRUE(sampled.sampler.leftOut().empty()) << sampled.sampler.leftOut().front();
    char byte = 'g';
    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    ASSERT_EQ(::read(done[0], &byte, 1), 1);
    const GroupFigures figures = sampled.sampler.read();
    EXPECT_EQ(at(figures, AppRead), 20001 / 1024.0);
    EXPECT_EQ(at(figures, AppWrite), 30001 / 1024.0);
    EXPECT_EQ(at(figures, AppThreads), 1.0);
    std::size_t descriptors = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/fd")) ++descriptors;
    EXPECT_EQ(at(figures, AppFileDescriptors), static_cast<double>(descriptors));
    EXPECT_GE(descriptors, 6u);  // the three standard ones, two pipes' ends kept, /dev/null and /dev/zero
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    // Gone: the figures are missing, never another process's.
    EXPECT_TRUE(std::isnan(at(sampled.sampler.read(), AppThreads)));
    for (const int fd : {go[0], go[1], done[0], done[1]}) ::close(fd);
}

TEST(LinuxMetricGroups, ThermalPowerAndGpuWhereThisMachineHasThem) {
    MetricGroupSet groups = only(MetricGroup::Thermal);
    groups.add(MetricGroup::Power), groups.add(MetricGroup::Gpu);
    MetricGroupSampler sampler(groups, 0);
    const auto has = [&](GroupSeries series) { return std::find(sampler.series().begin(), sampler.series().end(), series) != sampler.series().end(); };
    // Each source is either sampled or said to be missing; never both, never neither.
    EXPECT_EQ(sampler.series().size() + sampler.leftOut().size(), 4u);
    const GroupFigures figures = sampler.read();
    if (has(Temperature)) {
        double hottest = -1e9;
        for (const auto& zone : std::filesystem::directory_iterator("/sys/class/thermal")) {
            const auto milli = parseSysfsInteger(readFile(zone.path() / "temp"));
            if (milli) hottest = std::max(hottest, static_cast<double>(*milli) / 1000);
        }
        EXPECT_NEAR(at(figures, Temperature), hottest, 3.0);
    }
    if (has(PowerPackage)) {
        EXPECT_GE(at(figures, PowerPackage), 0.0);
    }
    if (has(PowerBattery)) {
        EXPECT_GE(at(figures, PowerBattery), 0.0);
    }
    if (has(GPUBusy)) {
        EXPECT_TRUE(at(figures, GPUBusy) >= 0 && at(figures, GPUBusy) <= 100);
    }
}

}  // namespace
}  // namespace perfagent

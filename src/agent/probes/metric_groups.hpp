#pragma once

#include "platform/metric_files.hpp"
#include "base/result.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief The opt-in metric groups a measurement may sample besides the CPU and memory split.
enum class MetricGroup : std::uint8_t { Memory, Load, Net, Disk, Thermal, Power, Gpu, App };
inline constexpr std::size_t kMetricGroupCount = 8;

/// "memory", "load", "net", "disk", "thermal", "power", "gpu", "app".
std::string_view metricGroupName(MetricGroup group);
std::optional<MetricGroup> metricGroupNamed(std::string_view name);
/// "memory, load, net, disk, thermal, power, gpu, app": for usage texts and errors.
std::string metricGroupNames();

/// @brief A set of metric groups.
class MetricGroupSet {
public:
    bool has(MetricGroup group) const { return (bits_ >> static_cast<unsigned>(group)) & 1u; }
    void add(MetricGroup group) { bits_ = static_cast<std::uint8_t>(bits_ | 1u << static_cast<unsigned>(group)); }
    bool empty() const { return bits_ == 0; }
    friend bool operator==(const MetricGroupSet&, const MetricGroupSet&) = default;

private:
    std::uint8_t bits_ = 0;
};

/// Parses "memory,load" (a comma-separated list of group names, at least one). The Failure names an
/// unknown group and the known ones.
Result<MetricGroupSet> parseMetricGroups(std::string_view list);

/// @brief The series the groups add, in the order they are reported.
enum class GroupSeries : std::uint8_t {
    MemoryAvailable, SwapUsed,
    LoadAverage, RunQueue,
    NetworkIn, NetworkOut,
    DiskRead, DiskWrite,
    Temperature,
    PowerPackage, PowerBattery,
    GPUBusy,
    AppThreads, AppFileDescriptors, AppRead, AppWrite,
};
inline constexpr std::size_t kGroupSeriesCount = 16;

/// One sample of every series, by GroupSeries; NaN where a series is off or was not read this time.
using GroupFigures = std::array<double, kGroupSeriesCount>;
/// Figures of a sample that read no group: all NaN.
inline GroupFigures noGroupFigures() {
    GroupFigures none;
    none.fill(std::numeric_limits<double>::quiet_NaN());
    return none;
}

/// @brief Samples the groups one measurement asked for.
///
/// Made when the measurement starts: each group's sources are opened (see MetricFiles) and the ones this
/// machine lacks are left out, each with its reason (leftOut). Rates (KB/s, W) are counter differences
/// over the time between this reading and the previous one (the first covers the time since construction):
/// - net and disk sum the devices present in both readings; a device that came or went adds nothing, and a
///   counter that went back (a device reset or replaced under the same name) makes that sample missing;
/// - an energy counter below its previous value has wrapped: the difference is taken modulo its range,
///   or the sample is missing when the range is unknown or the gap exceeds it;
/// - an interval of no length gives no rate.
class MetricGroupSampler {
public:
    /// `appPid`: the target process (0: none, and the app group is left out); `root`: where the host's
    /// files are; `monotonicNs`: the reading clock, the host's unless given.
    MetricGroupSampler(MetricGroupSet groups, Pid appPid, std::string root = "/",
                       std::function<std::int64_t()> monotonicNs = {});

    /// "thermal: no thermal zone in /sys/class/thermal", one per group (or power source) left out.
    const std::vector<std::string>& leftOut() const { return leftOut_; }
    /// The series this sampler gives, in report order.
    const std::vector<GroupSeries>& series() const { return series_; }

    /// Reads every source on; the previous reading is kept for the next rates.
    GroupFigures read();

private:
    struct Counters {
        std::vector<DeviceBytes> net;
        std::vector<DeviceBytes> disks;
        std::vector<std::optional<std::uint64_t>> energy;
        std::optional<AppCounters> app;
        bool netRead = false;
        bool disksRead = false;
        std::int64_t atNs = 0;
    };
    void readCounters(Counters& into);
    void take(GroupSeries series, bool on);

    MetricFiles files_;
    std::function<std::int64_t()> monotonicNs_;
    std::array<bool, kGroupSeriesCount> on_{};
    std::vector<GroupSeries> series_;
    std::vector<std::string> leftOut_;
    Counters previous_;
    Counters current_;
};

}  // namespace perfagent

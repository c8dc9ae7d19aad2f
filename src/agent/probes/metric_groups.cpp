#include "probes/metric_groups.hpp"

#include <chrono>
#include <cmath>
#include <limits>

namespace perfagent {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kBytesPerKb = 1024.0;
constexpr double kKbPerMb = 1024.0;

constexpr std::string_view kGroupNames[kMetricGroupCount] = {"memory", "load", "net", "disk", "thermal", "power", "gpu", "app"};

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// Received and sent (or read and written) KB/s over the devices in both readings; each NaN when a
/// counter of a device went back.
std::pair<double, double> deviceRates(const std::vector<DeviceBytes>& from, const std::vector<DeviceBytes>& to, double seconds) {
    std::uint64_t in = 0;
    std::uint64_t out = 0;
    bool inBack = false;
    bool outBack = false;
    for (const DeviceBytes& now : to) {
        for (const DeviceBytes& before : from) {
            if (before.name != now.name) continue;
            inBack = inBack || now.in < before.in;
            outBack = outBack || now.out < before.out;
            in += now.in >= before.in ? now.in - before.in : 0;
            out += now.out >= before.out ? now.out - before.out : 0;
            break;
        }
    }
    return {inBack ? kNaN : static_cast<double>(in) / kBytesPerKb / seconds,
            outBack ? kNaN : static_cast<double>(out) / kBytesPerKb / seconds};
}

/// µJ from `before` to `now` of a counter that wraps past `range` (0: unknown); none when it cannot be told.
std::optional<std::uint64_t> energySpent(std::uint64_t before, std::uint64_t now, std::uint64_t range) {
    if (now >= before) return now - before;
    if (range == 0 || before > range) return std::nullopt;
    return range - before + now;
}

double rate(std::uint64_t before, std::uint64_t now, double seconds) {
    return now >= before ? static_cast<double>(now - before) / kBytesPerKb / seconds : kNaN;
}

}  // namespace

std::string_view metricGroupName(MetricGroup group) { return kGroupNames[static_cast<std::size_t>(group)]; }

std::optional<MetricGroup> metricGroupNamed(std::string_view name) {
    for (std::size_t i = 0; i < kMetricGroupCount; ++i) {
        if (kGroupNames[i] == name) return static_cast<MetricGroup>(i);
    }
    return std::nullopt;
}

std::string metricGroupNames() {
    std::string out;
    for (const std::string_view name : kGroupNames) out.append(out.empty() ? "" : ", ").append(name);
    return out;
}

Result<MetricGroupSet> parseMetricGroups(std::string_view list) {
    MetricGroupSet groups;
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const auto group = metricGroupNamed(name);
        if (!group) return failure("'" + std::string(name) + "' is not a metric group (groups: " + metricGroupNames() + ")");
        groups.add(*group);
        if (comma == std::string_view::npos) return groups;
        list.remove_prefix(comma + 1);
    }
}

MetricGroupSampler::MetricGroupSampler(MetricGroupSet groups, Pid appPid, std::string root,
                                       std::function<std::int64_t()> monotonicNs)
    : files_(std::move(root)), monotonicNs_(monotonicNs ? std::move(monotonicNs) : steadyNs) {
    const auto open = [&](MetricGroup group, std::optional<std::string> why, std::initializer_list<GroupSeries> series) {
        if (why) leftOut_.push_back(std::string(metricGroupName(group)) + ": " + *why);
        for (const GroupSeries one : series) on_[static_cast<std::size_t>(one)] = !why;
    };
    using enum GroupSeries;
    if (groups.has(MetricGroup::Memory)) open(MetricGroup::Memory, files_.openMemory(), {MemoryAvailable, SwapUsed});
    if (groups.has(MetricGroup::Load)) open(MetricGroup::Load, files_.openLoad(), {LoadAverage, RunQueue});
    if (groups.has(MetricGroup::Net)) open(MetricGroup::Net, files_.openNet(), {NetworkIn, NetworkOut});
    if (groups.has(MetricGroup::Disk)) open(MetricGroup::Disk, files_.openDisks(), {DiskRead, DiskWrite});
    if (groups.has(MetricGroup::Thermal)) open(MetricGroup::Thermal, files_.openThermal(), {Temperature});
    if (groups.has(MetricGroup::Power)) {
        // Either source alone is worth having: a desktop has no battery, a phone no package counter.
        open(MetricGroup::Power, files_.openPowercap(), {PowerPackage});
        open(MetricGroup::Power, files_.openBattery(), {PowerBattery});
    }
    if (groups.has(MetricGroup::Gpu)) open(MetricGroup::Gpu, files_.openGpu(), {GPUBusy});
    if (groups.has(MetricGroup::App)) open(MetricGroup::App, files_.openApp(appPid), {AppThreads, AppFileDescriptors, AppRead, AppWrite});
    for (std::size_t i = 0; i < kGroupSeriesCount; ++i) {
        if (on_[i]) series_.push_back(static_cast<GroupSeries>(i));
    }
    readCounters(previous_);
}

void MetricGroupSampler::readCounters(Counters& into) {
    using enum GroupSeries;
    const auto on = [&](GroupSeries series) { return on_[static_cast<std::size_t>(series)]; };
    into.netRead = on(NetworkIn) && files_.readNet(into.net);
    into.disksRead = on(DiskRead) && files_.readDisks(into.disks);
    if (on(PowerPackage)) files_.readEnergy(into.energy);
    into.app = on(AppThreads) ? files_.readApp() : std::nullopt;
    into.atNs = monotonicNs_();
}

GroupFigures MetricGroupSampler::read() {
    using enum GroupSeries;
    GroupFigures out = noGroupFigures();
    const auto on = [&](GroupSeries series) { return on_[static_cast<std::size_t>(series)]; };
    const auto set = [&](GroupSeries series, double value) { out[static_cast<std::size_t>(series)] = value; };

    readCounters(current_);
    const double seconds = static_cast<double>(current_.atNs - previous_.atNs) / 1e9;
    const bool interval = seconds > 0;
    if (on(MemoryAvailable)) {
        if (const auto memory = files_.readMemory()) {
            set(MemoryAvailable, static_cast<double>(memory->available) / kKbPerMb);
            set(SwapUsed, memory->swapFree <= memory->swapTotal ? static_cast<double>(memory->swapTotal - memory->swapFree) / kKbPerMb : 0.0);
        }
    }
    if (on(LoadAverage)) {
        if (const auto load = files_.readLoad()) {
            set(LoadAverage, load->oneMinute);
            set(RunQueue, static_cast<double>(load->running));
        }
    }
    if (on(NetworkIn) && interval && previous_.netRead && current_.netRead) {
        const auto [in, sent] = deviceRates(previous_.net, current_.net, seconds);
        set(NetworkIn, in);
        set(NetworkOut, sent);
    }
    if (on(DiskRead) && interval && previous_.disksRead && current_.disksRead) {
        const auto [read, written] = deviceRates(previous_.disks, current_.disks, seconds);
        set(DiskRead, read);
        set(DiskWrite, written);
    }
    if (on(Temperature)) {
        if (const auto milli = files_.readHottest()) set(Temperature, static_cast<double>(*milli) / 1000.0);
    }
    if (on(PowerPackage) && interval && previous_.energy.size() == current_.energy.size()) {
        double microjoules = 0;
        bool known = true;
        for (std::size_t i = 0; i < current_.energy.size() && known; ++i) {
            const auto& before = previous_.energy[i];
            const auto& now = current_.energy[i];
            const auto spent = before && now ? energySpent(*before, *now, files_.energyRanges()[i]) : std::nullopt;
            known = spent.has_value();
            microjoules += spent ? static_cast<double>(*spent) : 0.0;
        }
        if (known) set(PowerPackage, microjoules / 1e6 / seconds);
    }
    if (on(PowerBattery)) {
        if (const auto microwatts = files_.readBatteryDischarge()) set(PowerBattery, *microwatts / 1e6);
    }
    if (on(GPUBusy)) {
        if (const auto busy = files_.readGpuBusy()) set(GPUBusy, static_cast<double>(*busy));
    }
    if (on(AppThreads) && current_.app) {
        set(AppThreads, static_cast<double>(current_.app->threads));
        set(AppFileDescriptors, static_cast<double>(current_.app->descriptors));
        if (interval && previous_.app) {
            set(AppRead, rate(previous_.app->io.readBytes, current_.app->io.readBytes, seconds));
            set(AppWrite, rate(previous_.app->io.writtenBytes, current_.app->io.writtenBytes, seconds));
        }
    }
    std::swap(previous_, current_);
    return out;
}

}  // namespace perfagent

#pragma once

#include "probes/memory.hpp"
#include "probes/metric_groups.hpp"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace perfagent {

/// @brief The figures one sample read, which every declared series is read from. The application figures
/// are the target's, or the agent's own when no target is measured; NaN when they were not read.
struct SampleReadout {
    double systemCpu;  ///< NaN when no tick elapsed or the ticks could not be read
    SystemMemory memory;
    double appCpu = 0;
    double appMemory = 0;  ///< resident bytes
    int appError = 0;      ///< why the application was not read (an errno value); 0 when it was
    GroupFigures metrics = noGroupFigures();  ///< the metric groups' figures, NaN where not read
};

/// @brief Which part of a report a series belongs to: the system's, always there, or the target's, there
/// only while a target process is measured (after "target" and "targetpid").
enum class SeriesPart : std::uint8_t { System, Target };

/// @brief What a sample that did not read the series records.
enum class WhenMissing : std::uint8_t {
    /// The latest figure read (0 before any): the series has an entry in every sample. Its average is over
    /// the samples counted since the start, NaN when there are none (such a report is not sent).
    HoldLatest,
    /// Nothing: the sample stays missing from the series, never a zero. Its average is over the samples
    /// that read it, 0 when none did (the report stays sendable).
    Skip,
};

/// @brief The groups of series a measurement records. Base is always on; every other group is opt-in, and
/// the series of a group that is off have no keys anywhere (report, live view, console). The opt-in groups
/// are the sources of the metric groups (power has two), so that a source the host lacks leaves out its
/// series alone.
enum class SeriesGroup : std::uint8_t { Base, Memory, Load, Net, Disk, Thermal, PowerPackage, PowerBattery, Gpu, App, Count };
/// Each group's name, as the live view names it, in the enum's order: the metric group's (both power
/// sources are "power").
inline constexpr std::array<const char*, static_cast<std::size_t>(SeriesGroup::Count)> kSeriesGroupNames{
    "base", "memory", "load", "net", "disk", "thermal", "power", "power", "gpu", "app"};
inline const char* seriesGroupName(SeriesGroup group) { return kSeriesGroupNames[static_cast<std::size_t>(group)]; }

/// The group of a metric group's series.
constexpr SeriesGroup seriesGroupOf(GroupSeries series) {
    using enum GroupSeries;
    switch (series) {
    case MemoryAvailable: case SwapUsed: return SeriesGroup::Memory;
    case LoadAverage: case RunQueue: return SeriesGroup::Load;
    case NetworkIn: case NetworkOut: return SeriesGroup::Net;
    case DiskRead: case DiskWrite: return SeriesGroup::Disk;
    case Temperature: return SeriesGroup::Thermal;
    case PowerPackage: return SeriesGroup::PowerPackage;
    case PowerBattery: return SeriesGroup::PowerBattery;
    case GPUBusy: return SeriesGroup::Gpu;
    case AppThreads: case AppFileDescriptors: case AppRead: case AppWrite: return SeriesGroup::App;
    }
    return SeriesGroup::Base;
}

/// @brief A set of groups: Base alone by default.
class SeriesGroups {
public:
    SeriesGroups() { bits_.set(static_cast<std::size_t>(SeriesGroup::Base)); }
    bool has(SeriesGroup group) const { return bits_.test(static_cast<std::size_t>(group)); }
    SeriesGroups& with(SeriesGroup group) {
        bits_.set(static_cast<std::size_t>(group));
        return *this;
    }
    bool operator==(const SeriesGroups&) const = default;

private:
    std::bitset<static_cast<std::size_t>(SeriesGroup::Count)> bits_;
};

/// @brief One per-sample series, declared once: how a sample reads it, where and under which keys the
/// report, the live view and the console carry it.
struct SeriesDeclaration {
    const char* key;    ///< the report's per-sample map and the live view's series
    const char* label;  ///< how the page names it
    const char* unit;   ///< "%", "MB", …
    SeriesPart part;
    SeriesGroup group;
    WhenMissing whenMissing;
    /// The sample's figure in the series' unit; NaN: not read in this sample.
    double (*read)(const SampleReadout&);
    const char* averageKey;  ///< the report's average over the samples; nullptr: none
    const char* maxKey;      ///< the report's maximum over the samples (0 when none); nullptr: none
    /// Where the average and the maximum go among their part's figures, for the series whose places an
    /// earlier report fixed; -1: after those, in declaration order, each average before its maximum.
    int averageAt = -1;
    int maxAt = -1;
    const char* readoutKey = nullptr;  ///< the live view's latest-readout name; nullptr: not in it
    /// The series' label in the per-sample dictionary line ("CPU DICT: "…); nullptr: not in it.
    const char* dictionaryLabel = nullptr;
    /// A readout line printed each sample after the probes' lines, this label then the figure; nullptr: none.
    const char* consoleLabel = nullptr;
};

namespace series_reads {
inline double systemCpu(const SampleReadout& s) { return s.systemCpu; }
inline double memoryUsed(const SampleReadout& s) { return usedMemory(s.memory) * kMegabytesPerByte; }
inline double memoryFree(const SampleReadout& s) { return s.memory.free * kMegabytesPerByte; }
inline double memoryCompressed(const SampleReadout& s) { return s.memory.compressed * kMegabytesPerByte; }
inline double appCpu(const SampleReadout& s) { return s.appCpu; }
inline double appMemory(const SampleReadout& s) { return s.appMemory * kMegabytesPerByte; }
template <GroupSeries S> double metric(const SampleReadout& s) { return s.metrics[static_cast<std::size_t>(S)]; }
}  // namespace series_reads

/// A metric group's series: a figure of the system's (the target's for the app group) that a sample
/// without it leaves missing, with "average…" and "max…" after the fixed figures, a live readout and a
/// console line.
template <GroupSeries S>
constexpr SeriesDeclaration metricSeries(const char* key, const char* label, const char* unit, const char* averageKey,
                                         const char* maxKey, const char* readoutKey, const char* consoleLabel) {
    return SeriesDeclaration{key, label, unit, seriesGroupOf(S) == SeriesGroup::App ? SeriesPart::Target : SeriesPart::System,
                             seriesGroupOf(S), WhenMissing::Skip, series_reads::metric<S>, averageKey, maxKey, -1, -1,
                             readoutKey, nullptr, consoleLabel};
}

/// Every series the agent records, in report order within each part.
inline constexpr std::array kSeries{
    SeriesDeclaration{"CPU", "CPU", "%", SeriesPart::System, SeriesGroup::Base, WhenMissing::HoldLatest,
                      series_reads::systemCpu, "averagecpu", "maxcpu", 0, 7, "systemCpu", "CPU DICT: "},
    SeriesDeclaration{"MemoryUsed", "Memory used", "MB", SeriesPart::System, SeriesGroup::Base,
                      WhenMissing::HoldLatest, series_reads::memoryUsed, "averagememoryused", "maxmemoryused", 3, 6,
                      "memoryUsed", " ** Memory USED DICT: "},
    SeriesDeclaration{"MemoryFree", "Memory free", "MB", SeriesPart::System, SeriesGroup::Base,
                      WhenMissing::HoldLatest, series_reads::memoryFree, "averagememoryfree", "maxmemoryfree", 1, 4,
                      "memoryFree", " ** Memory Free DICT: "},
    SeriesDeclaration{"MemoryCompressed", "Memory compressed", "MB", SeriesPart::System, SeriesGroup::Base,
                      WhenMissing::HoldLatest, series_reads::memoryCompressed, "averagememorycompressed",
                      "maxmemorycompressed", 2, 5, "memoryCompressed", " **  Memory Compressed DICT: "},
    SeriesDeclaration{"AppCPU", "App CPU", "%", SeriesPart::Target, SeriesGroup::Base, WhenMissing::Skip,
                      series_reads::appCpu, "averageappcpu", "maxappcpu", -1, -1, "appCpu"},
    SeriesDeclaration{"AppMemory", "App memory", "MB", SeriesPart::Target, SeriesGroup::Base, WhenMissing::Skip,
                      series_reads::appMemory, "averageappmemory", "maxappmemory", -1, -1, "appMemory"},
    metricSeries<GroupSeries::MemoryAvailable>("MemoryAvailable", "Memory available", "MB", "averagememoryavailable",
                                               "maxmemoryavailable", "memoryAvailable", "Memory Available: "),
    metricSeries<GroupSeries::SwapUsed>("SwapUsed", "Swap used", "MB", "averageswapused", "maxswapused", "swapUsed", "Swap Used: "),
    metricSeries<GroupSeries::LoadAverage>("LoadAverage", "Load average", "tasks", "averageloadaverage", "maxloadaverage",
                                           "loadAverage", "Load Average: "),
    metricSeries<GroupSeries::RunQueue>("RunQueue", "Run queue", "tasks", "averagerunqueue", "maxrunqueue", "runQueue", "Run Queue: "),
    metricSeries<GroupSeries::NetworkIn>("NetworkIn", "Network in", "KB/s", "averagenetworkin", "maxnetworkin", "networkIn",
                                         "Network In: "),
    metricSeries<GroupSeries::NetworkOut>("NetworkOut", "Network out", "KB/s", "averagenetworkout", "maxnetworkout",
                                          "networkOut", "Network Out: "),
    metricSeries<GroupSeries::DiskRead>("DiskRead", "Disk read", "KB/s", "averagediskread", "maxdiskread", "diskRead", "Disk Read: "),
    metricSeries<GroupSeries::DiskWrite>("DiskWrite", "Disk write", "KB/s", "averagediskwrite", "maxdiskwrite", "diskWrite",
                                         "Disk Write: "),
    metricSeries<GroupSeries::Temperature>("Temperature", "Temperature", "°C", "averagetemperature", "maxtemperature",
                                           "temperature", "Temperature: "),
    metricSeries<GroupSeries::PowerPackage>("PowerPackage", "Package power", "W", "averagepowerpackage", "maxpowerpackage",
                                            "powerPackage", "Package Power: "),
    metricSeries<GroupSeries::PowerBattery>("PowerBattery", "Battery power", "W", "averagepowerbattery", "maxpowerbattery",
                                            "powerBattery", "Battery Power: "),
    metricSeries<GroupSeries::GPUBusy>("GPUBusy", "GPU busy", "%", "averagegpubusy", "maxgpubusy", "gpuBusy", "GPU Busy: "),
    metricSeries<GroupSeries::AppThreads>("AppThreads", "App threads", "threads", "averageappthreads", "maxappthreads",
                                          "appThreads", "App Threads: "),
    metricSeries<GroupSeries::AppFileDescriptors>("AppFileDescriptors", "App file descriptors", "descriptors",
                                                  "averageappfiledescriptors", "maxappfiledescriptors",
                                                  "appFileDescriptors", "App File Descriptors: "),
    metricSeries<GroupSeries::AppRead>("AppRead", "App read", "KB/s", "averageappread", "maxappread", "appRead", "App Read: "),
    metricSeries<GroupSeries::AppWrite>("AppWrite", "App write", "KB/s", "averageappwrite", "maxappwrite", "appWrite",
                                        "App Write: "),
};
inline constexpr std::size_t kSeriesCount = kSeries.size();

/// The system CPU series, which the brief console line, "Testing cpu data:" and "test cpuhash" print.
inline constexpr std::size_t kCpuSeries = 0;
static_assert(std::string_view(kSeries[kCpuSeries].key) == "CPU");

/// The index of the series with report key `key`, if one is declared.
std::optional<std::size_t> seriesIndex(std::string_view key);

/// True when a measurement of `groups`, with a target (`withTarget`) or without, records series `index`.
inline bool recordsSeries(std::size_t index, const SeriesGroups& groups, bool withTarget) {
    const SeriesDeclaration& d = kSeries[index];
    return groups.has(d.group) && (d.part == SeriesPart::System || withTarget);
}

}  // namespace perfagent

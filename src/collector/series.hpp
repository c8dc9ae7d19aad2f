#pragma once

#include "probes/memory.hpp"

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
/// the series of a group that is off have no keys anywhere (report, live view, console).
enum class SeriesGroup : std::uint8_t { Base, Count };
/// Each group's name, as the live view names it, in the enum's order.
inline constexpr std::array<const char*, static_cast<std::size_t>(SeriesGroup::Count)> kSeriesGroupNames{"base"};
inline const char* seriesGroupName(SeriesGroup group) { return kSeriesGroupNames[static_cast<std::size_t>(group)]; }

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
}  // namespace series_reads

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

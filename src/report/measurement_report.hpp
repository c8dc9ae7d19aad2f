#pragma once

#include "report/markers.hpp"
#include "report/report_summary.hpp"
#include "report/sample_series.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace perfagent {

/// @brief One measurement report, as the collection server receives it. The series are referenced, not
/// copied: a report is built and encoded within one call on the thread that owns them.
///
/// Members are written in this order: "UsecaseName", "srNumber", "pagename", "build" (each only when present),
/// "CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed", the four averages, the four maxima,
/// "totalduration" (the summary: the base's members), then, only when a target is measured, "target",
/// "targetpid", "AppCPU", "AppMemory", "averageappcpu", "maxappcpu", "averageappmemory", "maxappmemory", and
/// last, only when the measurement has markers, "markers" (`"<n>s"` → its labels).
struct MeasurementReport : RunSummary {
    /// @brief The target process's part: its name, pid, series (MB for memory) and figures.
    struct Target {
        std::string name;
        std::int64_t pid = 0;
        const SampleSeries* appCpu = nullptr;
        const SampleSeries* appMemory = nullptr;
        double averageappcpu = 0;
        double maxappcpu = 0;
        double averageappmemory = 0;
        double maxappmemory = 0;
    };

    std::optional<std::string> usecaseName;
    std::optional<std::string> srNumber;
    std::optional<std::string> pagename;
    std::optional<std::string> build;  ///< which build of the software was measured, as the push named it
    const SampleSeries* cpu = nullptr;
    const SampleSeries* memoryUsed = nullptr;
    const SampleSeries* memoryFree = nullptr;
    const SampleSeries* memoryCompressed = nullptr;
    std::optional<Target> target;
    const Markers* markers = nullptr;  ///< none or empty: the report has no "markers" member
};

/// A name goes into a report only when it is present and not empty.
inline std::optional<std::string> reportName(const std::optional<std::string>& name) {
    if (name && !name->empty()) return name;
    return std::nullopt;
}

/// Rounds to the nearest integer, halves away from zero (2.5 -> 3, -2.5 -> -3): how instants are
/// printed and subtracted.
double roundHalfAwayFromZero(double value);

/// "totalduration": both instants (milliseconds since 1970) rounded half away from zero, then subtracted.
double totalDuration(double startTimeMs, double endTimeMs);

/// @brief The members of a report in writing order, for the writers that walk them.
struct ReportMembers {
    struct Name {
        const char* key;
        const std::optional<std::string>* value;
    };
    struct Series {
        const char* key;
        const SampleSeries* series;  ///< never null: an absent series reads as an empty one
    };
    struct Number {
        const char* key;
        double value;
    };
    Name names[4];
    Series series[4];
    Number numbers[9];
    /// The target's members after the others, when there is one.
    const MeasurementReport::Target* target;
    Series targetSeries[2];
    Number targetNumbers[4];
    /// The markers after everything else, when there are any.
    const Markers* markers;
};
ReportMembers membersOf(const MeasurementReport& report);

}  // namespace perfagent

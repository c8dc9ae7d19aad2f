#pragma once

#include "base/markers.hpp"
#include "report/sample_series.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// @brief One measurement report, as the collection server receives it. The series are referenced, not
/// copied: a report is built and encoded within one call on the thread that owns them.
///
/// Members are written in this order: "UsecaseName", "srNumber", "pagename", "build" (each only when present),
/// the series, the figures, then, only when a target is measured, "target", "targetpid" and the target's
/// series and figures, and last, only when the measurement has markers, "markers" (`"<n>s"` → its labels).
/// Which series and figures there are, and their keys, is the collector's to say.
struct MeasurementReport {
    /// @brief A per-sample series under its key.
    struct Series {
        const char* key;
        const SampleSeries* samples;  ///< never null
    };
    /// @brief A summary figure under its key.
    struct Figure {
        const char* key;
        double value;
    };
    /// @brief The target process's part: its name, pid, series and figures.
    struct Target {
        std::string name;
        std::int64_t pid = 0;
        std::vector<Series> series;
        std::vector<Figure> figures;
    };

    std::optional<std::string> usecaseName;
    std::optional<std::string> srNumber;
    std::optional<std::string> pagename;
    std::optional<std::string> build;  ///< which build of the software was measured, as the push named it
    std::vector<Series> series;
    std::vector<Figure> figures;
    std::optional<Target> target;
    const Markers* markers = nullptr;  ///< none or empty: the report has no "markers" member
};

/// @brief A name member of a report.
struct ReportName {
    const char* key;
    const std::optional<std::string>* value;
};
/// The report's names in writing order.
inline std::array<ReportName, 4> namesOf(const MeasurementReport& r) {
    return {{{"UsecaseName", &r.usecaseName}, {"srNumber", &r.srNumber}, {"pagename", &r.pagename}, {"build", &r.build}}};
}

/// The report's markers when it has any, else nothing.
inline const Markers* markersOf(const MeasurementReport& r) { return r.markers && !r.markers->empty() ? r.markers : nullptr; }

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

}  // namespace perfagent

#pragma once

#include "report/sample_series.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

class Console;
class CollectionServer;

/// @brief One measurement report, as the collection server receives it. The series are referenced, not
/// copied: a report is built, encoded and handed off within one call on the thread that owns them.
///
/// Members are written in this order: "UsecaseName", "srNumber", "pagename" (each only when present),
/// "CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed", the four averages, the four maxima,
/// "totalduration".
struct MeasurementReport {
    std::optional<std::string> usecaseName;
    std::optional<std::string> srNumber;
    std::optional<std::string> pagename;
    const SampleSeries* cpu = nullptr;
    const SampleSeries* memoryUsed = nullptr;
    const SampleSeries* memoryFree = nullptr;
    const SampleSeries* memoryCompressed = nullptr;
    double averagecpu = 0;
    double averagememoryfree = 0;
    double averagememorycompressed = 0;
    double averagememoryused = 0;
    double maxmemoryfree = 0;
    double maxmemorycompressed = 0;
    double maxmemoryused = 0;
    double maxcpu = 0;
    double totalduration = 0;
};

/// A name goes into a report only when it is present and not empty.
inline std::optional<std::string> reportName(const std::optional<std::string>& name) {
    if (name && !name->empty()) return name;
    return std::nullopt;
}

/// "totalduration": both instants (milliseconds since 1970) rounded half away from zero, then subtracted.
double totalDuration(double startTimeMs, double endTimeMs);

/// True when every number in the report (series values included) is finite: a JSON document cannot
/// carry NaN or infinity, and such a report is sent without a body.
bool isValidJsonObject(const MeasurementReport& report);

/// The report's console text: `["UsecaseName": "login", "CPU": ["1s": 12.5], "averagecpu": 12.5, …]`.
std::string describe(const MeasurementReport& report);
void appendDescription(std::string& out, const MeasurementReport& report);

/// The report as pretty-printed UTF-8 JSON (two-space indent, one member per line, `"key": value`). Nothing when the report
/// is not a valid JSON object. Names that are not valid UTF-8 have the bad bytes replaced by U+FFFD.
std::optional<std::string> encodePretty(const MeasurementReport& report);

/// Parses JSON text and renders the decoded value in the console's bracket form (objects as
/// `["key": value, …]` in document order, `[:]` when empty; arrays as `[a, b]`; strings quoted).
/// Nothing when the text does not parse.
std::optional<std::string> describeDecoded(std::string_view json);
/// Appends the decoded description to `out`; false (and `out` unchanged) when the text does not parse.
bool appendDecodedDescription(std::string& out, std::string_view json);

/// @brief Which optional console lines a report variant prints while it is encoded and handed off.
struct HandOffLines {
    bool dictionaryLine;  ///< "finished generating dictinary " and the report text
    bool validLine;       ///< "valid object : true|false"
    bool errorLine;       ///< "error" when encoding or the decode echo fails
};

inline constexpr HandOffLines kRunningReportLines{true, false, false};
inline constexpr HandOffLines kFinalReportLines{true, true, true};
inline constexpr HandOffLines kInterimReportLines{false, false, false};
inline constexpr HandOffLines kScreenReportLines{false, false, false};

/// Prints the variant's lines, encodes the report (no body when it is not valid), prints
/// "-------final JSon--------" and the decoded echo, and POSTs the body (or none) to the collection
/// server. Returns at once; the upload is not awaited.
void encodeAndHandOff(const MeasurementReport& report, HandOffLines lines, Console& console, CollectionServer& server);

}  // namespace perfagent

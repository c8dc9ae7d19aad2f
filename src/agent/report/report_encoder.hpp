#pragma once

#include "platform/console.hpp"
#include "report/measurement_report.hpp"

#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// @brief Which optional console lines a report variant prints while it is encoded.
struct HandOffLines {
    bool dictionaryLine;  ///< "finished generating dictinary " and the report text
    bool validLine;       ///< "valid object : true|false"
};

inline constexpr HandOffLines kRunningReportLines{true, false};
inline constexpr HandOffLines kFinalReportLines{true, true};
inline constexpr HandOffLines kInterimReportLines{false, false};

/// @brief Turns a report into its console lines and its body, doing no I/O: the caller prints the
/// lines and hands the body to the sender.
///
/// The lines are, in order: the variant's dictionary and validity lines, then for a valid report
/// "-------final JSon--------" and the echo of the body as decoded. The echo is the description's own
/// text (the body decodes to exactly the document described), so nothing is parsed again. The long
/// lines hold the series' sealed blocks instead of copying them: a long measurement's lines run to
/// hundreds of kilobytes.
class ReportEncoder {
public:
    struct Encoded {
        std::vector<LinePieces> lines;
        std::optional<std::string> body;  ///< none when the report is not a valid JSON object
    };

    /// The body is written into `bodyBuffer`, whose capacity it reuses.
    Encoded encode(const MeasurementReport& report, HandOffLines variant, std::string bodyBuffer = {});
};

}  // namespace perfagent

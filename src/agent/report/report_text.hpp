#pragma once

#include "platform/console.hpp"
#include "report/measurement_report.hpp"

#include <string>

namespace perfagent {

/// Appends the report's console text: `["UsecaseName": "login", "CPU": ["1s": 12.5], "averagecpu": 12.5, …]`
/// (names quoted, series in map text, numbers in double text). With `asSent`, names are shown as the
/// JSON body carries them (bytes that are not UTF-8 replaced by U+FFFD): that is the body's decoded
/// echo, byte for byte.
void appendDescription(std::string& out, const MeasurementReport& report, bool asSent = false);
/// The same, holding the series' sealed blocks instead of copying them.
void appendDescription(LinePieces& out, const MeasurementReport& report);

/// True when the decoded echo of the report differs from its description (a name is not valid UTF-8).
bool echoDiffersFromDescription(const MeasurementReport& report);

}  // namespace perfagent

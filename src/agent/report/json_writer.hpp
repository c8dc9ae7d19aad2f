#pragma once

#include "base/text.hpp"
#include "report/measurement_report.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// Appends `text` as a JSON string literal in UTF-8: quotes, backslashes and control characters escaped;
/// a byte that starts no valid UTF-8 sequence becomes U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

/// `text` with every byte that starts no valid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view text);

/// The report as pretty-printed UTF-8 JSON (two-space indent, one member per line, `"key": value`).
/// Nothing when the report is not a valid JSON object. Written into `buffer`, whose capacity it reuses.
std::optional<std::string> encodePretty(const MeasurementReport& report, std::string buffer = {});

}  // namespace perfagent

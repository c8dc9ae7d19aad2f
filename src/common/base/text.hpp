#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// Console text of a 64-bit float: shortest round-trip digits; decimal notation with a trailing ".0" on
/// whole values when 1e-4 <= |x| < 2^53 (and for zero); exponent form ("1e+16", "1e-05") outside that;
/// "inf", "-inf", "nan" for non-finite values.
std::string doubleText(double value);
/// Appends doubleText(value) to `out` without a temporary string.
void appendDoubleText(std::string& out, double value);

/// The same rules for a 32-bit float, with the float's own shortest digits (-1.0f prints "-1.0").
std::string floatText(float value);

/// A text as a double-quoted literal: quotes, backslashes and control characters escaped
/// (\" \\ \n \r \t \0, others as \u{hex}); other characters unchanged.
std::string quotedText(std::string_view text);
/// Appends quotedText(text) to `out` without a temporary string.
void appendQuotedText(std::string& out, std::string_view text);

/// A name as the console prints it unquoted: control characters (C0 and DEL) escaped as in quotedText,
/// so that a name cannot break a console line or reach the terminal as an escape sequence.
std::string consoleText(std::string_view text);

/// Optional("text") for a present text (quoted as quotedText), nil when absent.
std::string optionalText(const std::optional<std::string>& text);

/// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i);
/// True when `text` is valid UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace perfagent

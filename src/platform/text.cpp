#include "platform/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace perfagent {

namespace {

template <typename Float>
void appendFloatText(std::string& out, Float value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buffer[64];
    const Float magnitude = std::fabs(value);
    const bool decimal = magnitude == 0 || (magnitude >= Float(1e-4) && magnitude < Float(9007199254740992.0));
    const auto format = decimal ? std::chars_format::fixed : std::chars_format::scientific;
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    const std::string_view digits(buffer, static_cast<std::size_t>(result.ptr - buffer));
    out += digits;
    if (decimal && digits.find('.') == std::string_view::npos) out += ".0";
}

}  // namespace

void appendDoubleText(std::string& out, double value) { appendFloatText(out, value); }

std::string doubleText(double value) {
    std::string out;
    appendFloatText(out, value);
    return out;
}

std::string floatText(float value) {
    std::string out;
    appendFloatText(out, value);
    return out;
}

std::string quotedText(std::string_view text) {
    std::string out;
    appendQuotedText(out, text);
    return out;
}

void appendQuotedText(std::string& out, std::string_view text) {
    out += '"';
    const auto plain = [](char c) { return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; };
    // Most texts (sample keys, names) need no escape at all: copy them whole.
    if (std::all_of(text.begin(), text.end(), plain)) {
        out += text;
        out += '"';
        return;
    }
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                char escaped[16];
                std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

std::string optionalText(const std::optional<std::string>& text) {
    if (!text) return "nil";
    return "Optional(" + quotedText(*text) + ")";
}

}  // namespace perfagent

#include "base/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <type_traits>

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
    if constexpr (std::is_same_v<Float, double>) {
        // A whole double below 2^53 (a size in bytes, a count) has exactly its integer's digits as its
        // shortest form, which the integer conversion finds for a fraction of the work.
        if (value != 0 && magnitude < 9007199254740992.0 && std::trunc(value) == value) {
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value));
            out.append(buffer, result.ptr);
            out += ".0";
            return;
        }
    }
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

namespace {

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

/// Control characters (and, in a quoted literal, quotes and backslashes) as escapes; the rest unchanged.
void appendEscaped(std::string& out, std::string_view text, bool quoted) {
    const auto plain = [quoted](char c) { return !isControl(c) && !(quoted && (c == '"' || c == '\\')); };
    // Most texts (sample keys, names) need no escape at all: copy them whole.
    if (std::all_of(text.begin(), text.end(), plain)) {
        out += text;
        return;
    }
    for (const char c : text) {
        if (plain(c)) {
            out += c;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default: {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escaped;
        }
        }
    }
}

}  // namespace

void appendQuotedText(std::string& out, std::string_view text) {
    out += '"';
    appendEscaped(out, text, true);
    out += '"';
}

std::string consoleText(std::string_view text) {
    std::string out;
    appendEscaped(out, text, false);
    return out;
}

std::string optionalText(const std::optional<std::string>& text) {
    if (!text) return "nil";
    return "Optional(" + quotedText(*text) + ")";
}

std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;  // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace perfagent

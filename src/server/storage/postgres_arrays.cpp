#include "storage/postgres_arrays.hpp"

#include "base/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace perfagent::postgres {

std::string numbersLiteral(std::span<const std::int64_t> numbers) {
    return arrayLiteral(numbers, [](std::string& out, std::int64_t n) { out += std::to_string(n); });
}

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

void appendValue(std::string& out, double value) {
    if (std::isnan(value))
        out += "NULL";
    else
        appendDoubleText(out, value);
}

std::string rowsLiteral(const SampleRows& rows) {
    std::string out = "{";
    for (std::size_t i = 0; i < rows.numbers.size(); ++i) {
        if (i > 0) out += ',';
        out += "\"{";
        bool first = true;
        for (const double value : rows.row(i)) {
            if (!first) out += ',';
            first = false;
            appendValue(out, value);
        }
        out += "}\"";
    }
    return out + '}';
}

void parseRow(std::string_view text, std::size_t width, double* out) {
    std::fill(out, out + width, std::numeric_limits<double>::quiet_NaN());
    if (text.size() < 2) return;
    text = text.substr(1, text.size() - 2);
    for (std::size_t k = 0; k < width && !text.empty(); ++k) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        if (item != "NULL") std::from_chars(item.data(), item.data() + item.size(), out[k]);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
}

}  // namespace perfagent::postgres

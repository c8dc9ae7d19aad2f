#include "report/measurement_report.hpp"

#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/json_text.hpp"
#include "platform/text.hpp"
#include "report/collection_server.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace perfagent {

namespace {

struct SeriesMember {
    const char* key;
    const SampleSeries* series;
};

struct NumberMember {
    const char* key;
    double value;
};

std::array<SeriesMember, 4> seriesMembers(const MeasurementReport& r) {
    return {{{"CPU", r.cpu}, {"MemoryUsed", r.memoryUsed}, {"MemoryFree", r.memoryFree},
             {"MemoryCompressed", r.memoryCompressed}}};
}

std::array<NumberMember, 9> numberMembers(const MeasurementReport& r) {
    return {{{"averagecpu", r.averagecpu},
             {"averagememoryfree", r.averagememoryfree},
             {"averagememorycompressed", r.averagememorycompressed},
             {"averagememoryused", r.averagememoryused},
             {"maxmemoryfree", r.maxmemoryfree},
             {"maxmemorycompressed", r.maxmemorycompressed},
             {"maxmemoryused", r.maxmemoryused},
             {"maxcpu", r.maxcpu},
             {"totalduration", r.totalduration}}};
}

std::array<std::pair<const char*, const std::optional<std::string>*>, 3> nameMembers(const MeasurementReport& r) {
    return {{{"UsecaseName", &r.usecaseName}, {"srNumber", &r.srNumber}, {"pagename", &r.pagename}}};
}

const SampleSeries& seriesOrEmpty(const SampleSeries* series) {
    static const SampleSeries empty;
    return series ? *series : empty;
}

/// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
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

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

}  // namespace

double totalDuration(double startTimeMs, double endTimeMs) {
    return roundHalfAwayFromZero(endTimeMs) - roundHalfAwayFromZero(startTimeMs);
}

bool isValidJsonObject(const MeasurementReport& report) {
    for (const auto& member : numberMembers(report))
        if (!std::isfinite(member.value)) return false;
    for (const auto& member : seriesMembers(report)) {
        bool finite = true;
        seriesOrEmpty(member.series).forEach([&](std::int64_t, double value, std::string_view) {
            finite = finite && std::isfinite(value);
        });
        if (!finite) return false;
    }
    return true;
}

std::string describe(const MeasurementReport& report) {
    std::string out;
    out.reserve(64 + 48 * (seriesOrEmpty(report.cpu).size() * 4));
    out += '[';
    bool first = true;
    const auto separator = [&] {
        if (!first) out += ", ";
        first = false;
    };
    for (const auto& [key, name] : nameMembers(report)) {
        if (!*name) continue;
        separator();
        out += '"';
        out += key;
        out += "\": ";
        out += quotedText(**name);
    }
    for (const auto& member : seriesMembers(report)) {
        separator();
        out += '"';
        out += member.key;
        out += "\": ";
        appendMapText(out, seriesOrEmpty(member.series));
    }
    for (const auto& member : numberMembers(report)) {
        separator();
        out += '"';
        out += member.key;
        out += "\": ";
        appendDoubleText(out, member.value);
    }
    out += ']';
    return out;
}

std::optional<std::string> encodePretty(const MeasurementReport& report) {
    if (!isValidJsonObject(report)) return std::nullopt;
    std::string out;
    out.reserve(512 + 40 * (seriesOrEmpty(report.cpu).size() * 4));
    out += "{\n";
    bool first = true;
    const auto member = [&](const char* key) {
        if (!first) out += ",\n";
        first = false;
        out += "  \"";
        out += key;  // keys are fixed ASCII texts without characters that need escaping
        out += "\" : ";
    };
    for (const auto& [key, name] : nameMembers(report)) {
        if (!*name) continue;
        member(key);
        appendJsonString(out, **name);
    }
    for (const auto& series : seriesMembers(report)) {
        member(series.key);
        const SampleSeries& values = seriesOrEmpty(series.series);
        if (values.empty()) {
            out += "{}";
            continue;
        }
        out += "{\n";
        bool firstEntry = true;
        values.forEach([&](std::int64_t n, double, std::string_view text) {
            if (!firstEntry) out += ",\n";
            firstEntry = false;
            out += "    \"";
            appendSampleKey(out, n);
            out += "\" : ";
            out += text;  // finite (checked above), so the double text is a JSON number
        });
        out += "\n  }";
    }
    for (const auto& number : numberMembers(report)) {
        member(number.key);
        appendDoubleText(out, number.value);
    }
    out += "\n}";
    return out;
}

std::optional<std::string> describeDecoded(std::string_view json) {
    boost::json::monotonic_resource resource;
    boost::system::error_code ec;
    const boost::json::value value = boost::json::parse(json, ec, &resource);
    if (ec) return std::nullopt;
    std::string out;
    out.reserve(json.size());
    appendJsonText(out, value);
    return out;
}

void encodeAndHandOff(const MeasurementReport& report, HandOffLines lines, Console& console, CollectionServer& server) {
    if (lines.dictionaryLine) console.println("finished generating dictinary " + describe(report));
    const bool valid = isValidJsonObject(report);
    if (lines.validLine) console.println(valid ? "valid object : true" : "valid object : false");
    std::optional<std::string> body;
    if (valid) {
        console.println("-------final JSon--------");
        body = encodePretty(report);
        if (!body) {
            if (lines.errorLine) console.println("error");
        } else if (auto echo = describeDecoded(*body)) {
            console.println(*echo);
        } else if (lines.errorLine) {
            console.println("error");
        }
    }
    server.postReport(std::move(body));
}

}  // namespace perfagent

#include "report/measurement_report.hpp"

#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/text.hpp"
#include "report/collection_server.hpp"

#include <boost/json/basic_parser_impl.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

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

/// Renders a JSON document in the console's bracket form while Boost.JSON decodes it, value by value,
/// without building a document tree: the echo of a long report decodes some ten thousand numbers each
/// second.
class DescribingHandler {
public:
    static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

    explicit DescribingHandler(std::string& out) : out_(out) {}

    bool on_document_begin(boost::system::error_code&) { return true; }
    bool on_document_end(boost::system::error_code&) { return true; }
    bool on_object_begin(boost::system::error_code&) { return open('['); }
    bool on_object_end(std::size_t n, boost::system::error_code&) { return close(n == 0 ? ":]" : "]"); }
    bool on_array_begin(boost::system::error_code&) { return open('['); }
    bool on_array_end(std::size_t, boost::system::error_code&) { return close("]"); }
    bool on_key_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_key(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        separate();
        appendQuotedText(out_, pending_);
        out_ += ": ";
        pending_.clear();
        afterKey_ = true;
        return true;
    }
    bool on_string_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_string(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        value();
        appendQuotedText(out_, pending_);
        pending_.clear();
        return true;
    }
    bool on_number_part(boost::json::string_view s, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, boost::json::string_view, boost::system::error_code&) { return integer(i); }
    bool on_uint64(std::uint64_t u, boost::json::string_view, boost::system::error_code&) { return integer(u); }
    bool on_double(double d, boost::json::string_view s, boost::system::error_code&) {
        // Boost.JSON 1.81 converts some numbers to a neighbouring double (99.99999999999999 reads as
        // 100.0); the number's own text, converted exactly, is what was sent.
        pending_.append(s.data(), s.size());
        double exact = d;
        const auto result = std::from_chars(pending_.data(), pending_.data() + pending_.size(), exact);
        if (result.ec != std::errc() || result.ptr != pending_.data() + pending_.size()) exact = d;
        pending_.clear();
        value();
        appendDoubleText(out_, exact);
        return true;
    }
    bool on_bool(bool b, boost::system::error_code&) {
        value();
        out_ += b ? "true" : "false";
        return true;
    }
    bool on_null(boost::system::error_code&) {
        value();
        out_ += "nil";
        return true;
    }
    bool on_comment_part(boost::json::string_view, boost::system::error_code&) { return true; }
    bool on_comment(boost::json::string_view, boost::system::error_code&) { return true; }

private:
    // Inside a container the first element needs no separator; a value right after its key needs none.
    void separate() {
        if (!first_.empty()) {
            if (!first_.back()) out_ += ", ";
            first_.back() = false;
        }
    }
    void value() {
        if (afterKey_)
            afterKey_ = false;
        else
            separate();
    }
    bool open(char bracket) {
        value();
        out_ += bracket;
        first_.push_back(true);
        return true;
    }
    bool close(const char* text) {
        out_ += text;
        first_.pop_back();
        return true;
    }
    template <typename Integer>
    bool integer(Integer number) {
        pending_.clear();
        value();
        char buffer[24];
        out_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
        return true;
    }

    std::string& out_;
    std::string pending_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

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
    appendDescription(out, report);
    return out;
}

void appendDescription(std::string& out, const MeasurementReport& report) {
    out.reserve(out.size() + 512 + 32 * (seriesOrEmpty(report.cpu).size() * 4));
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
        out += "\": ";
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
        values.forEach([&](std::int64_t, double, std::string_view entry) {
            if (!firstEntry) out += ",\n";
            firstEntry = false;
            out += "    ";
            out += entry;  // `"12s": 3.5`; finite (checked above), so the double text is a JSON number
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
    std::string out;
    if (!appendDecodedDescription(out, json)) return std::nullopt;
    return out;
}

bool appendDecodedDescription(std::string& out, std::string_view json) {
    const std::size_t mark = out.size();
    boost::json::basic_parser<DescribingHandler> parser(boost::json::parse_options{}, out);
    boost::system::error_code ec;
    const std::size_t used = parser.write_some(false, json.data(), json.size(), ec);
    if (ec || used != json.size() || !parser.done()) {
        out.resize(mark);
        return false;
    }
    return true;
}

void encodeAndHandOff(const MeasurementReport& report, HandOffLines lines, Console& console, CollectionServer& server) {
    // Console lines of a long measurement run to hundreds of kilobytes each second; the buffer is kept
    // between reports so that memory is not asked of the system afresh every time.
    thread_local std::string line;
    if (lines.dictionaryLine) {
        line.assign("finished generating dictinary ");
        appendDescription(line, report);
        console.println(line);
    }
    const bool valid = isValidJsonObject(report);
    if (lines.validLine) console.println(valid ? "valid object : true" : "valid object : false");
    std::optional<std::string> body;
    if (valid) {
        console.println("-------final JSon--------");
        body = encodePretty(report);
        line.clear();
        if (!body) {
            if (lines.errorLine) console.println("error");
        } else if (appendDecodedDescription(line, *body)) {
            console.println(line);
        } else if (lines.errorLine) {
            console.println("error");
        }
    }
    server.postReport(std::move(body));
}

}  // namespace perfagent

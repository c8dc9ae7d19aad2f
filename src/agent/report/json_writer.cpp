#include "report/json_writer.hpp"

#include "base/text.hpp"
#include "report/report_validity.hpp"

#include <utility>

namespace perfagent {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

/// Calls ascii(c) for each ASCII byte and other(sequence) for each longer valid sequence or
/// replacement character, in order.
template <typename Ascii, typename Other>
void forEachCharacter(std::string_view text, Ascii&& ascii, Other&& other) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 1) {
            ascii(text[i]);
            ++i;
        } else if (length == 0) {
            other(kReplacement);
            ++i;
        } else {
            other(text.substr(i, length));
            i += length;
        }
    }
}

}  // namespace

std::string validUtf8(std::string_view text) {
    std::string out;
    forEachCharacter(text, [&](char c) { out += c; }, [&](std::string_view s) { out += s; });
    return out;
}

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    const auto ascii = [&](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        default: break;
        }
        if (c < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += ch;
        }
    };
    forEachCharacter(text, ascii, [&](std::string_view s) { out += s; });
    out += '"';
}

std::optional<std::string> encodePretty(const MeasurementReport& report, std::string buffer) {
    if (!isValidJsonObject(report)) return std::nullopt;
    std::size_t size = 512;
    for (const auto& series : report.series) size += series.samples->jsonEntries().size() + 32;
    if (report.target)
        for (const auto& series : report.target->series) size += series.samples->jsonEntries().size() + 32;
    // Rounded up so that a growing measurement asks for the same size for many seconds in a row: the
    // allocator then reuses the block the previous body left instead of carving a new one each time.
    constexpr std::size_t kGranule = 64 * 1024;
    std::string out = std::move(buffer);
    out.clear();
    if (out.capacity() < size) out.reserve((size + kGranule - 1) / kGranule * kGranule);
    out += "{\n";
    bool first = true;
    const auto member = [&](const char* key) {
        if (!first) out += ",\n";
        first = false;
        out += "  \"";
        out += key;  // keys are fixed ASCII texts without characters that need escaping
        out += "\": ";
    };
    for (const auto& name : namesOf(report)) {
        if (!*name.value) continue;
        member(name.key);
        appendJsonString(out, **name.value);
    }
    const auto seriesMember = [&](const MeasurementReport::Series& series) {
        member(series.key);
        if (series.samples->empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        out += series.samples->jsonEntries();  // finite (checked above), so each double text is a JSON number
        out += "\n  }";
    };
    const auto figureMember = [&](const MeasurementReport::Figure& figure) {
        member(figure.key);
        appendDoubleText(out, figure.value);
    };
    for (const auto& series : report.series) seriesMember(series);
    for (const auto& figure : report.figures) figureMember(figure);
    if (report.target) {
        member("target");
        appendJsonString(out, report.target->name);
        member("targetpid");
        out += std::to_string(report.target->pid);
        for (const auto& series : report.target->series) seriesMember(series);
        for (const auto& figure : report.target->figures) figureMember(figure);
    }
    if (const Markers* markers = markersOf(report)) {
        member("markers");
        out += "{\n";
        bool firstMarker = true;
        for (const auto& [n, labels] : markers->bySample()) {
            out += std::exchange(firstMarker, false) ? "    " : ",\n    ";
            out += '"';
            appendSampleKey(out, n);
            out += "\": ";
            appendJsonString(out, labels);
        }
        out += "\n  }";
    }
    out += "\n}";
    return out;
}

}  // namespace perfagent

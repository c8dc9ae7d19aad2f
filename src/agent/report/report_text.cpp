#include "report/report_text.hpp"

#include "base/text.hpp"
#include "report/json_writer.hpp"

#include <utility>

namespace perfagent {

namespace {

std::string& textOf(std::string& out) { return out; }
std::string& textOf(LinePieces& out) { return out.text(); }

template <typename Out>
void describe(Out& out, const MeasurementReport& report, bool asSent) {
    std::string& text = textOf(out);
    text += '[';
    bool first = true;
    const auto member = [&](const char* key) {
        if (!first) text += ", ";
        first = false;
        text += '"';
        text += key;
        text += "\": ";
    };
    for (const auto& name : namesOf(report)) {
        if (!*name.value) continue;
        member(name.key);
        appendQuotedText(text, asSent ? validUtf8(**name.value) : **name.value);
    }
    const auto seriesAndFigures = [&](const auto& allSeries, const auto& figures) {
        for (const auto& series : allSeries) {
            member(series.key);
            appendMapText(out, *series.samples);
        }
        for (const auto& figure : figures) {
            member(figure.key);
            appendDoubleText(text, figure.value);
        }
    };
    seriesAndFigures(report.series, report.figures);
    if (report.target) {
        member("target");
        appendQuotedText(text, asSent ? validUtf8(report.target->name) : report.target->name);
        member("targetpid");
        text += std::to_string(report.target->pid);
        seriesAndFigures(report.target->series, report.target->figures);
    }
    if (const Markers* markers = markersOf(report)) {
        member("markers");
        text += '[';
        bool firstMarker = true;
        for (const auto& [n, labels] : markers->bySample()) {
            if (!std::exchange(firstMarker, false)) text += ", ";
            text += '"';
            appendSampleKey(text, n);
            text += "\": ";
            appendQuotedText(text, labels);
        }
        text += ']';
    }
    text += ']';
}

}  // namespace

void appendDescription(std::string& out, const MeasurementReport& report, bool asSent) {
    std::size_t size = out.size() + 512;
    for (const auto& series : report.series) size += series.samples->consoleSize() + 32;
    out.reserve(size);
    describe(out, report, asSent);
}

void appendDescription(LinePieces& out, const MeasurementReport& report) { describe(out, report, false); }

bool echoDiffersFromDescription(const MeasurementReport& report) {
    for (const auto& name : namesOf(report))
        if (*name.value && !isValidUtf8(**name.value)) return true;
    return report.target && !isValidUtf8(report.target->name);
}

}  // namespace perfagent

#include "report/report_text.hpp"

#include "report/text.hpp"
#include "report/json_writer.hpp"

#include <utility>

namespace perfagent {

namespace {

std::string& textOf(std::string& out) { return out; }
std::string& textOf(LinePieces& out) { return out.text(); }

template <typename Out>
void describe(Out& out, const MeasurementReport& report, bool asSent) {
    const ReportMembers members = membersOf(report);
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
    for (const auto& name : members.names) {
        if (!*name.value) continue;
        member(name.key);
        appendQuotedText(text, asSent ? validUtf8(**name.value) : **name.value);
    }
    const auto seriesAndNumbers = [&](const auto& allSeries, const auto& numbers) {
        for (const auto& series : allSeries) {
            member(series.key);
            appendMapText(out, *series.series);
        }
        for (const auto& number : numbers) {
            member(number.key);
            appendDoubleText(text, number.value);
        }
    };
    seriesAndNumbers(members.series, members.numbers);
    if (members.target) {
        member("target");
        appendQuotedText(text, asSent ? validUtf8(members.target->name) : members.target->name);
        member("targetpid");
        text += std::to_string(members.target->pid);
        seriesAndNumbers(members.targetSeries, members.targetNumbers);
    }
    if (members.markers) {
        member("markers");
        text += '[';
        bool firstMarker = true;
        for (const auto& [n, labels] : members.markers->bySample()) {
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
    const ReportMembers members = membersOf(report);
    std::size_t size = out.size() + 512;
    for (const auto& series : members.series) size += series.series->consoleSize() + 32;
    out.reserve(size);
    describe(out, report, asSent);
}

void appendDescription(LinePieces& out, const MeasurementReport& report) { describe(out, report, false); }

bool echoDiffersFromDescription(const MeasurementReport& report) {
    for (const auto& name : membersOf(report).names)
        if (*name.value && !isValidUtf8(**name.value)) return true;
    return report.target && !isValidUtf8(report.target->name);
}

}  // namespace perfagent

#include "report/report_text.hpp"

#include "report/text.hpp"
#include "report/json_writer.hpp"

namespace perfagent {

void appendDescription(std::string& out, const MeasurementReport& report, bool asSent) {
    const ReportMembers members = membersOf(report);
    std::size_t size = out.size() + 512;
    for (const auto& series : members.series) size += series.series->consoleEntries().size() + 32;
    out.reserve(size);
    out += '[';
    bool first = true;
    const auto member = [&](const char* key) {
        if (!first) out += ", ";
        first = false;
        out += '"';
        out += key;
        out += "\": ";
    };
    for (const auto& name : members.names) {
        if (!*name.value) continue;
        member(name.key);
        appendQuotedText(out, asSent ? validUtf8(**name.value) : **name.value);
    }
    const auto seriesAndNumbers = [&](const auto& allSeries, const auto& numbers) {
        for (const auto& series : allSeries) {
            member(series.key);
            appendMapText(out, *series.series);
        }
        for (const auto& number : numbers) {
            member(number.key);
            appendDoubleText(out, number.value);
        }
    };
    seriesAndNumbers(members.series, members.numbers);
    if (members.target) {
        member("target");
        appendQuotedText(out, asSent ? validUtf8(members.target->name) : members.target->name);
        member("targetpid");
        out += std::to_string(members.target->pid);
        seriesAndNumbers(members.targetSeries, members.targetNumbers);
    }
    out += ']';
}

bool echoDiffersFromDescription(const MeasurementReport& report) {
    for (const auto& name : membersOf(report).names)
        if (*name.value && !isValidUtf8(**name.value)) return true;
    return report.target && !isValidUtf8(report.target->name);
}

}  // namespace perfagent

#include "report/report_validity.hpp"

#include <cmath>

namespace perfagent {

bool isValidJsonObject(const MeasurementReport& report) {
    const ReportMembers members = membersOf(report);
    for (const auto& number : members.numbers)
        if (!std::isfinite(number.value)) return false;
    for (const auto& series : members.series)
        if (!series.series->allFinite()) return false;
    if (!members.target) return true;
    for (const auto& number : members.targetNumbers)
        if (!std::isfinite(number.value)) return false;
    for (const auto& series : members.targetSeries)
        if (!series.series->allFinite()) return false;
    return true;
}

}  // namespace perfagent

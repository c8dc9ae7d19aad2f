#include "report/report_validity.hpp"

#include <cmath>

namespace perfagent {

namespace {

bool allFinite(const std::vector<MeasurementReport::Series>& series, const std::vector<MeasurementReport::Figure>& figures) {
    for (const auto& figure : figures)
        if (!std::isfinite(figure.value)) return false;
    for (const auto& s : series)
        if (!s.samples->allFinite()) return false;
    return true;
}

}  // namespace

bool isValidJsonObject(const MeasurementReport& report) {
    return allFinite(report.series, report.figures) &&
           (!report.target || allFinite(report.target->series, report.target->figures));
}

}  // namespace perfagent

#pragma once

#include "report/measurement_report.hpp"

namespace perfagent {

/// True when every number in the report (series values included) is finite: a JSON document cannot
/// carry NaN or infinity, and such a report is sent without a body.
bool isValidJsonObject(const MeasurementReport& report);

}  // namespace perfagent

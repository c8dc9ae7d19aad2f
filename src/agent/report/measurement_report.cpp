#include "report/measurement_report.hpp"

#include <cmath>

namespace perfagent {

double roundHalfAwayFromZero(double value) { return std::round(value); }

double totalDuration(double startTimeMs, double endTimeMs) {
    return roundHalfAwayFromZero(endTimeMs) - roundHalfAwayFromZero(startTimeMs);
}

}  // namespace perfagent

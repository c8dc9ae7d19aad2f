#include "report/measurement_report.hpp"

#include <cmath>

namespace perfagent {

double roundHalfAwayFromZero(double value) { return std::round(value); }

double totalDuration(double startTimeMs, double endTimeMs) {
    return roundHalfAwayFromZero(endTimeMs) - roundHalfAwayFromZero(startTimeMs);
}

ReportMembers membersOf(const MeasurementReport& r) {
    static const SampleSeries empty;
    const auto orEmpty = [](const SampleSeries* s) { return s ? s : &empty; };
    ReportMembers members{{{"UsecaseName", &r.usecaseName}, {"srNumber", &r.srNumber}, {"pagename", &r.pagename},
                           {"build", &r.build}},
                          {{"CPU", orEmpty(r.cpu)},
                           {"MemoryUsed", orEmpty(r.memoryUsed)},
                           {"MemoryFree", orEmpty(r.memoryFree)},
                           {"MemoryCompressed", orEmpty(r.memoryCompressed)}},
                          {},
                          r.target ? &*r.target : nullptr,
                          {{"AppCPU", orEmpty(r.target ? r.target->appCpu : nullptr)},
                           {"AppMemory", orEmpty(r.target ? r.target->appMemory : nullptr)}},
                          {{"averageappcpu", r.target ? r.target->averageappcpu : 0},
                           {"maxappcpu", r.target ? r.target->maxappcpu : 0},
                           {"averageappmemory", r.target ? r.target->averageappmemory : 0},
                           {"maxappmemory", r.target ? r.target->maxappmemory : 0}},
                          r.markers && !r.markers->empty() ? r.markers : nullptr};
    for (std::size_t i = 0; i < kSummaryFields.size(); ++i)
        members.numbers[i] = {kSummaryFields[i].first, r.*kSummaryFields[i].second};
    return members;
}

}  // namespace perfagent

#pragma once

#include <array>
#include <utility>

namespace perfagent {

/// @brief A report's summary figures under the report's own key names: what the agent sends and what the
/// collection server keeps of a run.
struct RunSummary {
    double averagecpu = 0;
    double averagememoryfree = 0;
    double averagememorycompressed = 0;
    double averagememoryused = 0;
    double maxmemoryfree = 0;
    double maxmemorycompressed = 0;
    double maxmemoryused = 0;
    double maxcpu = 0;
    double totalduration = 0;
};

/// Key names and members of the summary, in report order.
inline constexpr std::array<std::pair<const char*, double RunSummary::*>, 9> kSummaryFields{{
    {"averagecpu", &RunSummary::averagecpu},
    {"averagememoryfree", &RunSummary::averagememoryfree},
    {"averagememorycompressed", &RunSummary::averagememorycompressed},
    {"averagememoryused", &RunSummary::averagememoryused},
    {"maxmemoryfree", &RunSummary::maxmemoryfree},
    {"maxmemorycompressed", &RunSummary::maxmemorycompressed},
    {"maxmemoryused", &RunSummary::maxmemoryused},
    {"maxcpu", &RunSummary::maxcpu},
    {"totalduration", &RunSummary::totalduration},
}};

}  // namespace perfagent

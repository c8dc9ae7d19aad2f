#pragma once

#include "base/result.hpp"
#include "verdict/budget.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// Fewer samples than this on either side leave a series inconclusive.
inline constexpr std::size_t kMinVerdictSamples = 10;
/// The significance level of the test.
inline constexpr double kVerdictAlpha = 0.01;

/// A series as the verdict reads it: its name and per-sample values, NaN where a sample is missing.
struct NamedSeries {
    std::string name;
    std::vector<double> values;
};

/// Best first: a run's outcome is the worst of its series'.
enum class Outcome { Improved, Unchanged, Inconclusive, Regressed };
const char* outcomeName(Outcome outcome);

struct SeriesVerdict {
    std::string series;
    std::size_t baselineSamples = 0, runSamples = 0;
    double baselineMedian = 0, runMedian = 0;
    std::optional<double> shift, low, high, p;  ///< absent when inconclusive (and the bounds for tiny samples)
    std::string budget;
    Outcome outcome = Outcome::Inconclusive;
};

struct Verdict {
    std::int64_t run = 0;
    std::optional<std::int64_t> baseline;  ///< absent: no baseline, the outcome is inconclusive
    Outcome outcome = Outcome::Inconclusive;
    std::vector<SeriesVerdict> series;
};

/// Compares every series that both runs hold (at least one sample each), in the run's order. A Failure
/// when a budget does not fit a series.
Result<Verdict> judge(std::int64_t runId, const std::vector<NamedSeries>& run, std::int64_t baselineId,
                      const std::vector<NamedSeries>& baseline, const BudgetSet& request, const BudgetSet& server);

/// `{"run": ID, "baseline": ID|null, "outcome": …, "series": [{"series", "baselineSamples", "runSamples",
/// "baselineMedian", "runMedian", "shift", "low", "high", "budget", "p", "outcome"}, …]}`; null for what
/// is absent.
std::string verdictJson(const Verdict& verdict);

}  // namespace perfagent

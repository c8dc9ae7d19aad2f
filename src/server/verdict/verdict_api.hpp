#pragma once

#include "base/result.hpp"
#include "verdict/verdict.hpp"
#include "storage/run_store.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// The query of GET /api/runs/{id}/verdict: `baseline=ID` or `baseline_build=X` (not both), `budget=…`,
/// and `from=LABEL`, `to=LABEL` (1 to 128 bytes each) to judge only the samples between two markers.
struct VerdictQuery {
    std::optional<std::int64_t> baseline;
    std::optional<std::string> baselineBuild;
    BudgetSet budgets;
    std::optional<std::string> from;
    std::optional<std::string> to;
};
Result<VerdictQuery> parseVerdictQuery(std::string_view query);

/// A run's series as the verdict reads them, and one of its labels ("target", "build"); the only places
/// that know how the store keeps them.
std::vector<NamedSeries> seriesOf(const RunDetail& run);
/// The run's series between its markers: from the first sample marked `from` (one of the labels marked
/// there) up to, not including, the first one marked `to` after it; the first or the last sample where
/// one is not given. Samples outside are missing. A Failure naming a label the run has no such marker of.
Result<std::vector<NamedSeries>> seriesBetween(const RunDetail& run, const std::optional<std::string>& from,
                                               const std::optional<std::string>& to);
std::optional<std::string> runLabel(const RunInfo& run, std::string_view name);

/// The run's baseline: the newest complete run before it with the same use case and the same target
/// (both absent counts as the same), and with the build `build` when one is given. Reads at most
/// kMaxBaselineScan earlier runs.
inline constexpr std::int64_t kMaxBaselineScan = 100'000;
std::optional<RunInfo> chooseBaseline(RunStore& store, const RunInfo& run, const std::optional<std::string>& build,
                                      std::int64_t nowMs);

/// The answer to GET /api/runs/{id}/verdict: 200 and the verdict's JSON (with `"baseline": null` and
/// outcome `inconclusive` when the run has no baseline), 404 for an unknown run or named baseline, 400
/// when a budget does not fit a series or the run or its baseline lacks a marker `from` or `to` names;
/// the body of a refusal is its reason.
struct VerdictAnswer {
    unsigned status = 200;
    std::string body;
};
VerdictAnswer verdictAnswer(RunStore& store, std::int64_t runId, const VerdictQuery& query,
                            const BudgetSet& serverBudgets, std::int64_t nowMs);

}  // namespace perfagent

#pragma once

#include "base/result.hpp"
#include "verdict/budget.hpp"
#include "storage/run_store.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// Most runs one trend shows, and how many when `limit` is not given.
inline constexpr std::int64_t kMaxTrendRuns = 100;
inline constexpr std::int64_t kDefaultTrendRuns = 30;

/// The query of GET /api/trend: `usecase` (needed), `target` (absent: runs without a target), `limit`.
struct TrendQuery {
    std::string usecase;
    std::optional<std::string> target;
    std::int64_t limit = kDefaultTrendRuns;
};
Result<TrendQuery> parseTrendQuery(std::string_view query);

/// GET /api/trend: the newest `limit` runs of the use case and target, oldest first, each with `id`,
/// `started`, `build`, `complete`, `medians` (per series), `baseline` (the complete run before it in the
/// trend, or null), its verdict's `outcome` against it and `outcomes` per series; and `baseline`, the
/// newest run's.
std::string trendJson(RunStore& store, const TrendQuery& query, const BudgetSet& serverBudgets, std::int64_t nowMs);

}  // namespace perfagent

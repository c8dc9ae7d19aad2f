#pragma once

#include "base/result.hpp"
#include "storage/run_store.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// Most runs one listing returns, and how many when `limit` is not given.
inline constexpr std::int64_t kMaxRunsPerPage = 1000;
inline constexpr std::int64_t kDefaultRunsPerPage = 100;

/// Splits a query `a=1&b=2` into percent-decoded pairs; a Failure on a broken escape or a repeated name.
Result<std::vector<std::pair<std::string, std::string>>> parseQueryPairs(std::string_view query);

/// The query of GET /api/runs: `usecase`, `srnumber`, `build` (parts of the names), `device` (texts), `since` and
/// `until` (ISO 8601 UTC, `2026-12-06T21:40:00Z` with optional fraction, or a date: started at or after,
/// before), `limit` (1-1000) and `after` (a run id),
/// each at most once, percent-encoded. Anything else is a bad query: a Failure saying why.
Result<RunFilter> parseRunsQuery(std::string_view query);

/// The query of GET /api/compare: `runs=ID,ID[,…]` naming 2 to 4 different runs.
Result<std::vector<std::int64_t>> parseCompareQuery(std::string_view query);

/// A run id from a path segment: a positive decimal number.
std::optional<std::int64_t> parseRunId(std::string_view text);

/// Milliseconds since 1970 as ISO 8601 UTC: `2026-12-06T21:40:00.123Z`.
std::string isoUtc(std::int64_t ms);
/// The reverse, also for `2026-12-06T21:40:00Z` and `2026-12-06`; nothing when the text is neither.
std::optional<std::int64_t> parseIsoUtc(std::string_view text);

/// GET /api/runs: a JSON array of run objects, each with `id`, `device`, `deviceToken`, `usecase`,
/// `srnumber`, `pagename` (null when absent), `started`, `lastReport`, `firstSample` (when sample 1 was
/// taken), `samples`, `complete`, `labels`
/// (an object of texts, e.g. "target") and `figures` (an object of numbers under the report's key names).
std::string runsJson(const std::vector<RunInfo>& runs, std::int64_t nowMs);

/// GET /api/runs/{id}: the run object plus `series`, an object of every series the run holds (the system
/// series first, then the others by name), each an array indexed by sample number − 1 with null where
/// a sample is missing, and `markers`, `[{"sample": n, "label": text}, …]` by sample number.
std::string runJson(const RunDetail& run, std::int64_t nowMs);

/// GET /api/runs/{id}/samples.csv: header `sample,time,elapsed_s,` then the series names in the order
/// above and `marker`, one row per sample number; `time` is when the sample was taken (ISO 8601 UTC),
/// `elapsed_s` counts seconds from the run's first sample; empty fields where a value or marker is missing.
std::string samplesCsv(const RunDetail& run);

/// GET /api/compare: `{"runs": [run with series, …], "differences": [{"id", "figures", "series"}, …]}`,
/// one difference object per run after the first, against the first: for each figure both hold (not
/// `totalduration`) and for the mean and maximum of each series both hold, `{"absolute", "relative"}`,
/// relative in % of the first run's value (null when that is 0).
std::string compareJson(const std::vector<RunDetail>& runs, std::int64_t nowMs);

}  // namespace perfagent

#include "verdict/verdict_api.hpp"

#include "base/markers.hpp"
#include "api/read_api.hpp"

#include <algorithm>
#include <limits>

namespace perfagent {

Result<VerdictQuery> parseVerdictQuery(std::string_view query) {
    const auto pairs = parseQueryPairs(query);
    if (!pairs) return pairs.error();
    VerdictQuery parsed;
    for (const auto& [name, value] : *pairs) {
        if (name == "baseline") {
            parsed.baseline = parseRunId(value);
            if (!parsed.baseline) return failure("baseline: '" + value + "' is not a run id");
        } else if (name == "baseline_build") {
            if (value.empty() || value.size() > 128) return failure("baseline_build: 1 to 128 bytes");
            parsed.baselineBuild = value;
        } else if (name == "from" || name == "to") {
            if (value.empty() || value.size() > 128) return failure(name + ": a marker's label, 1 to 128 bytes");
            (name == "from" ? parsed.from : parsed.to) = value;
        } else if (name == "budget") {
            auto budgets = parseBudgets(value);
            if (!budgets) return budgets.error();
            parsed.budgets = std::move(*budgets);
        } else {
            return failure("unknown query parameter '" + name + "'");
        }
    }
    if (parsed.baseline && parsed.baselineBuild) return failure("give baseline or baseline_build, not both");
    return parsed;
}

std::vector<NamedSeries> seriesOf(const RunDetail& run) {
    std::vector<NamedSeries> series;
    for (const auto& name : orderedSeriesNames(run)) series.push_back({name, run.series.find(name)->second});
    return series;
}

namespace {

/// The first sample after `after` marked `label` (alone or among the labels marked there).
std::optional<std::int64_t> markedSample(const RunMarkers& markers, std::string_view label, std::int64_t after) {
    for (auto it = markers.upper_bound(after); it != markers.end(); ++it) {
        for (std::string_view rest = it->second;;) {
            const auto end = rest.find(kMarkerJoin);
            if (rest.substr(0, end) == label || it->second == label) return it->first;
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + kMarkerJoin.size());
        }
    }
    return std::nullopt;
}

}  // namespace

Result<std::vector<NamedSeries>> seriesBetween(const RunDetail& run, const std::optional<std::string>& from,
                                               const std::optional<std::string>& to) {
    std::int64_t first = 1, end = std::numeric_limits<std::int64_t>::max();
    if (from) {
        const auto marked = markedSample(run.markers, *from, 0);
        if (!marked) return failure("run " + std::to_string(run.info.id) + " has no marker \"" + *from + "\"");
        first = *marked;
    }
    if (to) {
        const auto marked = markedSample(run.markers, *to, first);
        if (!marked)
            return failure("run " + std::to_string(run.info.id) + " has no marker \"" + *to + "\"" +
                           (from ? " after \"" + *from + "\"" : ""));
        end = *marked;
    }
    auto series = seriesOf(run);
    for (NamedSeries& s : series)
        for (std::size_t i = 0; i < s.values.size(); ++i)
            if (static_cast<std::int64_t>(i) + 1 < first || static_cast<std::int64_t>(i) + 1 >= end)
                s.values[i] = std::numeric_limits<double>::quiet_NaN();
    return series;
}

std::optional<std::string> runLabel(const RunInfo& run, std::string_view name) {
    const auto label = run.labels.find(name);
    if (label == run.labels.end()) return std::nullopt;
    return label->second;
}

std::optional<RunInfo> chooseBaseline(RunStore& store, const RunInfo& run, const std::optional<std::string>& build,
                                      std::int64_t nowMs) {
    RunFilter filter;
    filter.usecase = run.names.usecase;
    filter.afterId = run.id;
    filter.limit = 1000;
    const auto target = runLabel(run, "target");
    for (std::int64_t scanned = 0; scanned < kMaxBaselineScan;) {
        const auto page = store.listRuns(filter);
        for (const auto& candidate : page) {
            if (candidate.names.usecase == run.names.usecase && runLabel(candidate, "target") == target &&
                (!build || runLabel(candidate, "build") == build) && isComplete(candidate, nowMs))
                return candidate;
        }
        if (std::ssize(page) < filter.limit) break;
        scanned += filter.limit;
        filter.afterId = page.back().id;
    }
    return std::nullopt;
}

VerdictAnswer verdictAnswer(RunStore& store, std::int64_t runId, const VerdictQuery& query,
                            const BudgetSet& serverBudgets, std::int64_t nowMs) {
    const auto run = store.run(runId);
    if (!run) return {404, "no such run"};
    // Between markers, each run's own: the baseline needs markers of the same labels.
    const auto runSeries = seriesBetween(*run, query.from, query.to);
    if (!runSeries) return {400, runSeries.error().message};
    std::optional<RunDetail> baseline;
    if (query.baseline) {
        baseline = store.run(*query.baseline);
        if (!baseline) return {404, "no such baseline run: " + std::to_string(*query.baseline)};
    } else if (const auto chosen = chooseBaseline(store, run->info, query.baselineBuild, nowMs)) {
        baseline = store.run(chosen->id);
    }
    if (!baseline) return {200, verdictJson(Verdict{.run = runId, .baseline = std::nullopt,
                                                    .outcome = Outcome::Inconclusive, .series = {}})};
    const auto baselineSeries = seriesBetween(*baseline, query.from, query.to);
    if (!baselineSeries) return {400, "baseline: " + baselineSeries.error().message + "; name one that has it (baseline=ID)"};
    const auto verdict = judge(runId, *runSeries, baseline->info.id, *baselineSeries, query.budgets, serverBudgets);
    if (!verdict) return {400, verdict.error().message};
    return {200, verdictJson(*verdict)};
}

}  // namespace perfagent

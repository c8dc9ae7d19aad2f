#include "verdict/trend.hpp"

#include "base/text.hpp"
#include "api/read_api.hpp"
#include "verdict/verdict_api.hpp"

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cmath>

namespace perfagent {
namespace {

void appendText(std::string& out, const std::optional<std::string>& text) {
    out += text ? boost::json::serialize(boost::json::string_view(*text)) : std::string("null");
}

double median(std::vector<double> values) {
    std::erase_if(values, [](double v) { return std::isnan(v); });
    if (values.empty()) return std::nan("");
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return values.size() % 2 == 1 ? *middle : (*std::max_element(values.begin(), middle) + *middle) / 2;
}

}  // namespace

Result<TrendQuery> parseTrendQuery(std::string_view query) {
    const auto pairs = parseQueryPairs(query);
    if (!pairs) return pairs.error();
    TrendQuery parsed;
    bool usecase = false;
    for (const auto& [name, value] : *pairs) {
        if (name == "usecase") {
            parsed.usecase = value, usecase = true;
        } else if (name == "target") {
            parsed.target = value;
        } else if (name == "limit") {
            const auto limit = parseRunId(value);
            if (!limit || *limit > kMaxTrendRuns) return failure("limit: '" + value + "' is not a number from 1 to 100");
            parsed.limit = *limit;
        } else {
            return failure("unknown query parameter '" + name + "'");
        }
    }
    if (!usecase) return failure("usecase is needed");
    return parsed;
}

std::string trendJson(RunStore& store, const TrendQuery& query, const BudgetSet& serverBudgets, std::int64_t nowMs) {
    // The newest runs of exactly this use case and target, read page by page, then put oldest first.
    std::vector<RunInfo> runs;
    RunFilter filter;
    filter.usecase = query.usecase;
    filter.limit = kMaxRunsPerPage;
    for (std::int64_t scanned = 0; std::ssize(runs) < query.limit && scanned < kMaxBaselineScan;) {
        const auto page = store.listRuns(filter);
        for (const auto& run : page)
            if (run.names.usecase == query.usecase && runLabel(run, "target") == query.target &&
                std::ssize(runs) < query.limit)
                runs.push_back(run);
        if (std::ssize(page) < filter.limit) break;
        scanned += filter.limit;
        filter.afterId = page.back().id;
    }
    std::reverse(runs.begin(), runs.end());

    std::string out = "{\"usecase\":";
    appendText(out, query.usecase);
    out += ",\"target\":";
    appendText(out, query.target);
    out += ",\"runs\":[";
    std::optional<RunDetail> baseline;  // the newest complete run so far
    std::optional<std::int64_t> newestBaseline;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        auto detail = store.run(runs[i].id);
        if (!detail) continue;  // removed meanwhile
        if (out.back() != '[') out += ',';
        out += "{\"id\":" + std::to_string(runs[i].id) + ",\"started\":\"" + isoUtc(runs[i].startedMs) + "\",\"build\":";
        appendText(out, runLabel(runs[i], "build"));
        out += isComplete(runs[i], nowMs) ? ",\"complete\":true" : ",\"complete\":false";
        out += ",\"medians\":{";
        const auto series = seriesOf(*detail);
        for (std::size_t s = 0; s < series.size(); ++s) {
            if (s > 0) out += ',';
            out += boost::json::serialize(boost::json::string_view(series[s].name)) + ":";
            const double value = median(series[s].values);
            if (std::isfinite(value)) appendDoubleText(out, value); else out += "null";
        }
        out += "},\"baseline\":";
        newestBaseline = baseline ? std::optional(baseline->info.id) : std::nullopt;
        out += newestBaseline ? std::to_string(*newestBaseline) : "null";
        out += ",\"outcome\":\"";
        const auto verdict = baseline ? judge(runs[i].id, series, baseline->info.id, seriesOf(*baseline), {}, serverBudgets)
                                      : Result<Verdict>(Verdict{});
        out += verdict ? outcomeName(verdict->outcome) : "inconclusive";
        out += "\",\"outcomes\":{";
        for (const auto& judged : verdict ? verdict->series : std::vector<SeriesVerdict>{}) {
            if (out.back() != '{') out += ',';
            out += boost::json::serialize(boost::json::string_view(judged.series)) + ":\"" + outcomeName(judged.outcome) + "\"";
        }
        out += "}}";
        if (isComplete(runs[i], nowMs)) baseline = std::move(detail);
    }
    out += "],\"baseline\":";
    out += newestBaseline ? std::to_string(*newestBaseline) : "null";
    return out + "}";
}

}  // namespace perfagent

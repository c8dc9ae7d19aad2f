#include "verdict/verdict.hpp"

#include "base/text.hpp"
#include "verdict/statistics.hpp"

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cmath>

namespace perfagent {
namespace {

std::vector<double> present(const std::vector<double>& values) {
    std::vector<double> kept;
    kept.reserve(values.size());
    for (const double value : values)
        if (!std::isnan(value)) kept.push_back(value);
    return kept;
}

double median(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) return *middle;
    return (*std::max_element(values.begin(), middle) + *middle) / 2;
}

void appendOptional(std::string& out, const std::optional<double>& value) {
    if (value && std::isfinite(*value))
        appendDoubleText(out, *value);
    else
        out += "null";
}

}  // namespace

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Improved: return "improved";
        case Outcome::Unchanged: return "unchanged";
        case Outcome::Inconclusive: return "inconclusive";
        case Outcome::Regressed: return "regressed";
    }
    return "inconclusive";
}

Result<Verdict> judge(std::int64_t runId, const std::vector<NamedSeries>& run, std::int64_t baselineId,
                      const std::vector<NamedSeries>& baseline, const BudgetSet& request, const BudgetSet& server) {
    Verdict verdict{.run = runId, .baseline = baselineId, .outcome = Outcome::Improved, .series = {}};
    for (const auto& series : run) {
        const auto other = std::find_if(baseline.begin(), baseline.end(),
                                        [&](const NamedSeries& s) { return s.name == series.name; });
        if (other == baseline.end()) continue;
        const auto before = present(other->values), after = present(series.values);
        if (before.empty() || after.empty()) continue;
        const auto budget = budgetFor(series.name, request, server);
        if (!budget) return budget.error();
        SeriesVerdict judged;
        judged.series = series.name, judged.budget = budget->text;
        judged.baselineSamples = before.size(), judged.runSamples = after.size();
        if (before.size() < kMinVerdictSamples || after.size() < kMinVerdictSamples) {
            judged.baselineMedian = median(before), judged.runMedian = median(after);
        } else {
            const auto compared = compareSamples(before, after);
            judged.baselineMedian = compared.baselineMedian, judged.runMedian = compared.runMedian;
            judged.shift = compared.shift, judged.low = compared.low, judged.high = compared.high;
            judged.p = compared.p;
            // The shift measured in the worse direction, against what the budget allows.
            const double worse = budget->worseUpward ? compared.shift : -compared.shift;
            const double allowance = budget->allowance(compared.baselineMedian);
            const bool significant = compared.p < kVerdictAlpha;
            judged.outcome = significant && worse > allowance    ? Outcome::Regressed
                             : significant && worse < -allowance ? Outcome::Improved
                                                                 : Outcome::Unchanged;
        }
        verdict.outcome = std::max(verdict.outcome, judged.outcome);
        verdict.series.push_back(std::move(judged));
    }
    if (verdict.series.empty()) verdict.outcome = Outcome::Inconclusive;
    return verdict;
}

std::string verdictJson(const Verdict& verdict) {
    std::string out = "{\"run\":" + std::to_string(verdict.run) + ",\"baseline\":";
    out += verdict.baseline ? std::to_string(*verdict.baseline) : "null";
    out += ",\"outcome\":\"";
    out += outcomeName(verdict.outcome);
    out += "\",\"series\":[";
    for (std::size_t i = 0; i < verdict.series.size(); ++i) {
        const auto& s = verdict.series[i];
        if (i > 0) out += ',';
        out += "{\"series\":";
        out += boost::json::serialize(boost::json::string_view(s.series));
        out += ",\"baselineSamples\":" + std::to_string(s.baselineSamples);
        out += ",\"runSamples\":" + std::to_string(s.runSamples);
        for (const auto& [key, value] : {std::pair{"baselineMedian", std::optional(s.baselineMedian)},
                                         {"runMedian", std::optional(s.runMedian)}, {"shift", s.shift},
                                         {"low", s.low}, {"high", s.high}}) {
            out += ",\"";
            out += key;
            out += "\":";
            appendOptional(out, value);
        }
        out += ",\"budget\":";
        out += boost::json::serialize(boost::json::string_view(s.budget));
        out += ",\"p\":";
        appendOptional(out, s.p);
        out += ",\"outcome\":\"";
        out += outcomeName(s.outcome);
        out += "\"}";
    }
    return out + "]}";
}

}  // namespace perfagent

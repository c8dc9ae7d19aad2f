#include "verdict/budget.hpp"

#include "base/text.hpp"

#include <charconv>
#include <cmath>

namespace perfagent {
namespace {

/// The largest amount a budget may name: beyond any figure the agent measures.
constexpr double kMaxAmount = 1e12;

Result<Budget> parseAmount(std::string_view text) {
    Budget budget;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        budget.sign = text.front() == '+' ? Budget::Sign::Plus : Budget::Sign::Minus;
        text.remove_prefix(1);
    }
    double amount = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), amount, std::chars_format::fixed);
    if (error != std::errc() || end == text.data() || !(amount >= 0 && amount <= kMaxAmount))
        return failure("an amount is a number from 0 to 1e12");
    const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
    budget.amount = amount;
    budget.relative = unit == "%";
    if (!budget.relative) {
        if (!unit.empty() && unit != "KB" && unit != "MB" && unit != "GB")
            return failure("unknown unit '" + std::string(unit) + "' (%, KB, MB, GB or none)");
        budget.unit = unit;
    }
    return budget;
}

/// "10" rather than "10.0" in a budget's text.
std::string amountText(double amount) {
    std::string text = doubleText(amount);
    if (text.ends_with(".0")) text.resize(text.size() - 2);
    return text;
}

}  // namespace

Result<BudgetSet> parseBudgets(std::string_view text) {
    BudgetSet set;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const auto colon = entry.find(':');
        const std::string_view name = colon == std::string_view::npos ? std::string_view() : entry.substr(0, colon);
        const auto amount = parseAmount(colon == std::string_view::npos ? entry : entry.substr(colon + 1));
        if (!amount) return failure("budget '" + std::string(entry) + "': " + amount.error().message);
        if (colon == std::string_view::npos) {
            if (set.others) return failure("budget '" + std::string(entry) + "': only one budget may name no series");
            set.others = *amount;
            continue;
        }
        if (name.empty() || name.size() > 64) return failure("budget '" + std::string(entry) + "': no series name");
        for (const auto& [seen, _] : set.named)
            if (seen == name) return failure("budget for '" + std::string(name) + "' given twice");
        set.named.emplace_back(std::string(name), *amount);
    }
    return set;
}

SeriesRule seriesRule(std::string_view series) {
    if (series == "CPU" || series == "AppCPU") return {.worseUpward = true, .megabytes = false, .known = true};
    if (series == "MemoryUsed" || series == "MemoryCompressed" || series == "AppMemory")
        return {.worseUpward = true, .megabytes = true, .known = true};
    if (series == "MemoryFree") return {.worseUpward = false, .megabytes = true, .known = true};
    return {};
}

double AppliedBudget::allowance(double baselineMedian) const {
    return relative ? amount / 100 * std::abs(baselineMedian) : amount;
}

Result<AppliedBudget> budgetFor(std::string_view series, const BudgetSet& request, const BudgetSet& server) {
    const auto find = [&](const BudgetSet& set) -> std::optional<Budget> {
        for (const auto& [name, budget] : set.named)
            if (name == series) return budget;
        return set.others;
    };
    const Budget budget = find(request).value_or(find(server).value_or(Budget{}));
    const SeriesRule rule = seriesRule(series);
    AppliedBudget applied;
    applied.worseUpward = rule.known ? rule.worseUpward : budget.sign != Budget::Sign::Minus;
    applied.relative = budget.relative;
    applied.amount = budget.amount;
    if (!budget.unit.empty()) {
        if (!rule.megabytes)
            return failure("budget for '" + std::string(series) + "': " + budget.unit + " fits memory series only");
        applied.amount *= budget.unit == "KB" ? 1.0 / 1024 : budget.unit == "GB" ? 1024.0 : 1.0;
    }
    applied.text = std::string(applied.worseUpward ? "+" : "-") + amountText(budget.amount) +
                   (budget.relative ? "%" : budget.unit);
    return applied;
}

}  // namespace perfagent

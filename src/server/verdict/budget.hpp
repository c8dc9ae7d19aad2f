#pragma once

#include "base/result.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief How far a series may move in its worse direction before a significant move is a regression.
struct Budget {
    enum class Sign { None, Plus, Minus };
    Sign sign = Sign::None;  ///< as written; decides the worse direction only for a series without a rule
    double amount = 10;      ///< ≥ 0: percent of the baseline's median when relative, else in `unit`
    bool relative = true;
    std::string unit;  ///< absolute budgets: "" (the series' own unit), "KB", "MB" or "GB"
};

/// Budgets as written: `CPU:+10%,AppMemory:+20MB,+5%` — per series `NAME:AMOUNT`, and at most one bare
/// AMOUNT for every series not named. AMOUNT is an optional sign, a decimal number and `%`, `KB`, `MB`,
/// `GB` or nothing (the series' unit).
struct BudgetSet {
    std::vector<std::pair<std::string, Budget>> named;
    std::optional<Budget> others;
};

/// Parses a budget list; a Failure says which entry is wrong and why. Empty text is an empty set.
Result<BudgetSet> parseBudgets(std::string_view text);

/// @brief What the server knows of a series: which way is worse and in which unit its values are.
struct SeriesRule {
    bool worseUpward = true;
    bool megabytes = false;  ///< memory in MB: absolute budgets may be written in KB, MB or GB
    bool known = false;      ///< false: no rule; the budget's sign decides the direction
};
SeriesRule seriesRule(std::string_view series);

/// @brief One series' budget in force: the request's, else the server's, else +10 %.
struct AppliedBudget {
    bool worseUpward = true;
    double amount = 10;
    bool relative = true;
    std::string text;  ///< as the answer shows it, signed by the worse direction: "+10%", "-64MB"
    /// How far the shift may go in the worse direction, in the series' unit, against this baseline median.
    double allowance(double baselineMedian) const;
};

/// The budget for `series`: the request's entry naming it, else the request's bare one, else the server's
/// (the same order), else +10 %. A Failure when a unit does not fit the series (MB on CPU, say).
Result<AppliedBudget> budgetFor(std::string_view series, const BudgetSet& request, const BudgetSet& server);

}  // namespace perfagent

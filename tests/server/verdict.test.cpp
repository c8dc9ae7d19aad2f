#include "verdict/verdict.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace perfagent {
namespace {

TEST(Budgets, ParseAndApplyInOrder) {
    const auto request = parseBudgets("CPU:+20%,AppMemory:+512KB,Temperature:-2,+5%");
    ASSERT_TRUE(request) << request.error().message;
    const auto server = parseBudgets("MemoryUsed:+1GB,AppCPU:30%").value();
    const auto text = [&](const char* series) { return budgetFor(series, request.value(), server)->text; };
    EXPECT_EQ(text("CPU"), "+20%");
    EXPECT_EQ(text("MemoryUsed"), "+5%");  // the request's bare budget before the server's named one
    EXPECT_EQ(text("MemoryFree"), "-5%");  // worse downward whatever the sign
    EXPECT_EQ(text("Temperature"), "-2");  // no rule: the sign decides
    EXPECT_EQ(budgetFor("AppMemory", *request, server)->allowance(100), 0.5);
    EXPECT_EQ(budgetFor("MemoryUsed", {}, server)->allowance(100), 1024);
    EXPECT_EQ(budgetFor("AppCPU", {}, server)->allowance(-50), 15);
    EXPECT_EQ(budgetFor("Other", {}, {})->text, "+10%");
    EXPECT_FALSE(budgetFor("CPU", parseBudgets("CPU:5MB").value(), {}));
    for (const char* bad : {"CPU", "CPU:", ":5%", "CPU:5%,CPU:6%", "5%,6%", "CPU:5pt", "CPU:1e13", "CPU:x%", "CPU:--5"})
        EXPECT_FALSE(parseBudgets(bad)) << bad;
    EXPECT_TRUE(parseBudgets("")->named.empty());
}

std::vector<double> noisy(std::size_t count, double level, double noise, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(-noise, noise);
    std::vector<double> values(count);
    for (auto& value : values) value = level + jitter(random);
    return values;
}

Verdict judged(const std::vector<NamedSeries>& run, const std::vector<NamedSeries>& baseline,
               std::string_view budgets = "") {
    return judge(2, run, 1, baseline, parseBudgets(budgets).value(), {}).value();
}

TEST(Verdict, SeriesOutcomesAndTheWorst) {
    const double missing = std::numeric_limits<double>::quiet_NaN();
    const std::vector<NamedSeries> baseline{{"CPU", noisy(60, 20, 4, 1)}, {"MemoryFree", noisy(60, 900, 5, 2)},
                                            {"MemoryCompressed", std::vector<double>(60, 0.0)},
                                            {"OnlyBefore", noisy(60, 1, 1, 3)}};
    // CPU doubled, free memory up, compressed flat at 0; a series only one run holds is left out.
    auto verdict = judged({{"CPU", noisy(60, 40, 4, 4)}, {"MemoryFree", noisy(60, 1000, 5, 5)},
                           {"MemoryCompressed", std::vector<double>(60, 0.0)}, {"OnlyAfter", noisy(60, 1, 1, 6)}},
                          baseline);
    ASSERT_EQ(verdict.series.size(), 3u);
    EXPECT_EQ(verdict.outcome, Outcome::Regressed);
    EXPECT_EQ(std::tie(verdict.series[0].outcome, verdict.series[1].outcome, verdict.series[2].outcome),
              std::tuple(Outcome::Regressed, Outcome::Improved, Outcome::Unchanged));
    EXPECT_NEAR(*verdict.series[0].shift, 20, 2);
    EXPECT_LT(*verdict.series[0].low, *verdict.series[0].shift);
    EXPECT_EQ(verdict.series[2].p, 1.0);
    // The same load; a significant shift within a wider budget; free memory falling; too few samples.
    EXPECT_EQ(judged({{"CPU", noisy(60, 20, 4, 7)}}, baseline).outcome, Outcome::Unchanged);
    EXPECT_EQ(judged({{"CPU", noisy(60, 26, 1, 8)}}, baseline, "CPU:+50%").outcome, Outcome::Unchanged);
    EXPECT_EQ(judged({{"CPU", noisy(60, 26, 1, 8)}}, baseline, "CPU:+5").outcome, Outcome::Regressed);
    EXPECT_EQ(judged({{"MemoryFree", noisy(60, 700, 5, 9)}}, baseline).outcome, Outcome::Regressed);
    verdict = judged({{"CPU", noisy(12, 24, 15, 21)}}, {{"CPU", noisy(12, 20, 15, 22)}});  // beyond budget, noisy
    EXPECT_EQ(verdict.outcome, Outcome::Unchanged);
    EXPECT_GT(*verdict.series[0].shift, 2);
    auto few = noisy(12, 40, 1, 10);
    for (std::size_t i = 5; i < few.size(); ++i) few[i] = missing;
    verdict = judged({{"CPU", few}, {"MemoryFree", noisy(60, 900, 5, 11)}}, baseline);
    EXPECT_EQ(std::tie(verdict.outcome, verdict.series[0].runSamples), std::tuple(Outcome::Inconclusive, 5u));
    EXPECT_FALSE(verdict.series[0].p);
    EXPECT_EQ(judged({{"Elsewhere", noisy(60, 1, 1, 12)}}, baseline).outcome, Outcome::Inconclusive);
    EXPECT_FALSE(judge(2, {{"CPU", few}}, 1, baseline, parseBudgets("CPU:1GB").value(), {}));
}

TEST(Verdict, AnswersJson) {
    const auto verdict = judged({{"CPU", std::vector<double>(12, 1.0)}, {"Few", {1, 2}}},
                                {{"CPU", std::vector<double>(12, 1.0)}, {"Few", {3}}});
    const auto json = boost::json::parse(verdictJson(verdict)).as_object();
    EXPECT_EQ(json.at("run"), 2);
    EXPECT_EQ(json.at("baseline"), 1);
    EXPECT_EQ(json.at("outcome"), "inconclusive");
    const auto& cpu = json.at("series").at(0).as_object();
    EXPECT_EQ(std::tie(cpu.at("series"), cpu.at("budget"), cpu.at("outcome")), std::tie("CPU", "+10%", "unchanged"));
    EXPECT_EQ(std::tie(cpu.at("shift"), cpu.at("low"), cpu.at("p")), std::tuple(0.0, 0.0, 1.0));
    const auto& few = json.at("series").at(1).as_object();
    EXPECT_EQ(std::tie(few.at("runMedian"), few.at("shift"), few.at("p")), std::tuple(1.5, nullptr, nullptr));
}

}  // namespace
}  // namespace perfagent

#include "verdict/statistics.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value_from.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

namespace perfagent {
namespace {

using Values = std::vector<double>;

// A hand-worked case: the nine differences of {4,5,6} − {1,2,3} are 1,2,2,3,3,3,4,4,5 (median 3); U = 9
// against a mean of 4.5 and σ = √(9·7/12), so z = (4.5 − 0.5)/σ = 1.7457 and p = 0.08086. No 99 %
// interval exists for three samples a side.
TEST(RankStatistics, HandWorkedCases) {
    const auto three = compareSamples(Values{3, 1, 2}, Values{6, 4, 5});
    EXPECT_EQ(std::tie(three.baselineMedian, three.runMedian, three.shift), std::tuple(2.0, 5.0, 3.0));
    EXPECT_NEAR(three.p, 0.0808556, 1e-6);
    EXPECT_FALSE(three.low || three.high);
    // All values equal: no difference, no error.
    const auto flat = compareSamples(Values(40, 0.0), Values(30, 0.0));
    EXPECT_EQ(std::tie(flat.shift, flat.p, *flat.low, *flat.high), std::tuple(0.0, 1.0, 0.0, 0.0));
}

Values draw(std::mt19937_64& random, std::size_t count, double mean, double spread, double step) {
    std::normal_distribution<double> normal(mean, spread);
    Values values(count);
    for (auto& value : values) value = step > 0 ? std::round(normal(random) / step) * step : normal(random);
    return values;
}

// Figures computed from the definitions by tests/support/rank_statistics_reference.py (every difference
// listed and sorted, ranks from the pooled sort).
TEST(RankStatistics, AgreesWithTheReferenceComputation) {
    std::mt19937_64 random(29);
    const std::vector<std::pair<Values, Values>> cases{
        {draw(random, 30, 10, 2, 0.1), draw(random, 25, 11, 2, 0.1)},   // shifted, some ties
        {draw(random, 200, 2, 1.5, 1), draw(random, 180, 2.5, 1.5, 1)}, // few distinct values, many ties
        {draw(random, 11, 5, 1, 0), draw(random, 13, 5, 1, 0)},         // odd sizes, no shift
        {draw(random, 400, 50, 10, 0), draw(random, 350, 52, 10, 0)},   // many selection rounds
        {Values(20, 3.0), draw(random, 15, 3, 0.5, 0.5)},               // one side flat
    };
    boost::json::array input;
    for (const auto& [baseline, run] : cases)
        input.push_back(boost::json::object{{"baseline", boost::json::value_from(baseline)}, {"run", boost::json::value_from(run)}});
    testing::TempDirectory directory;
    const auto file = directory.write("cases.json", boost::json::serialize(input));
    FILE* pipe = ::popen(("python3 " PERFAGENT_SOURCE_DIR "/tests/support/rank_statistics_reference.py < " +
                          file.string()).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    for (char buffer[4096]; const auto got = std::fread(buffer, 1, sizeof buffer, pipe);) output.append(buffer, got);
    ASSERT_EQ(::pclose(pipe), 0) << "python3 is needed (scripts/setup installs it)";
    const auto expected = boost::json::parse(output).as_array();
    ASSERT_EQ(expected.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto got = compareSamples(cases[i].first, cases[i].second);
        const auto& want = expected[i].as_object();
        const auto number = [&](const char* key) { return want.at(key).to_number<double>(); };
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_DOUBLE_EQ(got.baselineMedian, number("baselineMedian"));
        EXPECT_DOUBLE_EQ(got.runMedian, number("runMedian"));
        EXPECT_NEAR(got.shift, number("shift"), 1e-9);
        ASSERT_TRUE(got.low && got.high);
        EXPECT_NEAR(*got.low, number("low"), 1e-9);
        EXPECT_NEAR(*got.high, number("high"), 1e-9);
        EXPECT_NEAR(got.p, number("p"), 1e-9 + 1e-6 * number("p"));
    }
}

}  // namespace
}  // namespace perfagent

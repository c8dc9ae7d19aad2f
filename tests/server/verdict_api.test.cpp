#include "verdict/verdict_api.hpp"
#include "verdict/trend.hpp"
#include "verdict/verdict_command.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace perfagent {
namespace {

TEST(VerdictApi, ParsesQueries) {
    const auto query = parseVerdictQuery("baseline_build=v2%2B&budget=CPU:%2B20%25");
    ASSERT_TRUE(query) << query.error().message;
    EXPECT_EQ(query->baselineBuild, "v2+");
    EXPECT_EQ(query->budgets.named.at(0).second.amount, 20);
    EXPECT_EQ(parseVerdictQuery("baseline=7")->baseline, 7);
    EXPECT_EQ(parseVerdictQuery("from=login%20tapped&to=done")->from, "login tapped");
    for (const char* bad : {"baseline=0", "baseline=x", "baseline=1&baseline_build=a", "budget=CPU:lots", "run=1",
                            "baseline_build=", "from=", "to=&from=a"})
        EXPECT_FALSE(parseVerdictQuery(bad)) << bad;
}

IncomingReport report(const char* usecase, double cpu, int samples = 20) {
    IncomingReport r;
    r.names.usecase = usecase;
    r.series = {"CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"};
    for (int n = 1; n <= samples; ++n) {
        r.numbers.push_back(n);
        r.values.insert(r.values.end(), {cpu + n % 3, 100, 200, 0});
    }
    return r;
}

// Runs on a real SQLite store: the baseline is the newest complete earlier run of the same use case.
TEST(VerdictApi, ChoosesTheBaselineAndJudges) {
    testing::TempDirectory directory;
    auto store = openSqliteRunStore((directory / "runs.sqlite3").string());
    const std::int64_t start = 1'800'000'000'000;
    const auto ingest = [&](const IncomingReport& r, std::int64_t at) {
        return store->ingest("10.0.0." + std::to_string(at % 1000), r, at).runId;
    };
    const auto older = ingest(report("login", 10), start);
    const auto newer = ingest(report("login", 10), start + 1);
    ingest(report("search", 10), start + 2);
    const auto run = ingest(report("login", 20), start + 3);
    const auto later = ingest(report("login", 10), start + 4);
    const auto now = start + kRunCompleteAfterMs + 4;
    const auto verdict = [&](std::int64_t id, std::string_view query, std::int64_t at) {
        const auto answer = verdictAnswer(*store, id, parseVerdictQuery(query).value(), {}, at);
        return answer.status == 200 ? boost::json::parse(answer.body).as_object() : boost::json::object{{"status", answer.status}};
    };
    auto judged = verdict(run, "", now);
    EXPECT_EQ(std::tie(judged.at("baseline"), judged.at("outcome")), std::tuple(newer, "regressed"));
    EXPECT_EQ(judged.at("series").at(0).at("series"), "CPU");
    EXPECT_EQ(verdict(later, "", now).at("baseline"), run);
    EXPECT_EQ(verdict(run, "baseline=" + std::to_string(older), now).at("baseline"), older);
    // An earlier run still receiving reports is no baseline; a first run has none.
    EXPECT_EQ(verdict(run, "", start + kRunCompleteAfterMs).at("baseline"), older);
    judged = verdict(older, "", now);
    EXPECT_EQ(std::tie(judged.at("baseline"), judged.at("outcome")), std::tuple(nullptr, "inconclusive"));
    EXPECT_EQ(verdict(run, "baseline_build=v1", now).at("baseline"), nullptr);  // no run has that build
    EXPECT_EQ(verdict(99, "", now).at("status"), 404);
    EXPECT_EQ(verdict(run, "baseline=99", now).at("status"), 404);
    EXPECT_EQ(verdict(run, "budget=CPU:5MB", now).at("status"), 400);

    // Labels: the same target (none here), and the build when one is asked for.
    const auto labelled = [&](std::map<std::string, std::string> labels, double cpu, std::int64_t at) {
        auto r = report("pay", cpu);
        r.labels.insert(labels.begin(), labels.end());
        return ingest(r, at);
    };
    const auto v1 = labelled({{"build", "v1"}}, 10, start + 5);
    const auto v2 = labelled({{"build", "v2"}}, 10, start + 6);
    labelled({{"target", "shop"}}, 10, start + 7);
    const auto paid = labelled({}, 20, start + 8);
    EXPECT_EQ(verdict(paid, "", now + 8).at("baseline"), v2);
    EXPECT_EQ(verdict(paid, "baseline_build=v1", now + 8).at("baseline"), v1);

    // The trend: oldest first, each run judged against the complete run before it.
    const auto trend = boost::json::parse(trendJson(*store, parseTrendQuery("usecase=login&limit=3").value(), {}, now));
    const auto& runs = trend.at("runs").as_array();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(std::tie(runs[0].at("id"), runs[0].at("baseline"), runs[0].at("outcome")), std::tuple(newer, nullptr, "inconclusive"));
    EXPECT_EQ(std::tie(runs[1].at("id"), runs[1].at("baseline"), runs[1].at("outcome")), std::tuple(run, newer, "regressed"));
    EXPECT_EQ(std::tie(runs[2].at("baseline"), runs[2].at("outcome")), std::tuple(run, "unchanged"));  // CPU improved, the rest unchanged
    EXPECT_EQ(std::tie(runs[1].at("medians").at("CPU"), trend.at("baseline")), std::tuple(21.0, run));
    EXPECT_EQ(std::tie(runs[1].at("outcomes").at("CPU"), runs[1].at("outcomes").at("MemoryUsed")), std::tie("regressed", "unchanged"));
    for (const char* bad : {"", "usecase=a&limit=101", "usecase=a&limit=0", "usecase=a&order=x"})
        EXPECT_FALSE(parseTrendQuery(bad)) << bad;

    // Between markers: each run's samples from its "in" marker up to its "out" one. Inside, this run's CPU
    // is the baseline's + 10 (a regression); outside, the runs are alike, which hides it over the whole run.
    const auto phased = [&](double inside, RunMarkers markers, std::int64_t at) {
        auto r = report("scroll", 10, 60);
        for (std::int64_t n = 21; n <= 40; ++n) r.values[(n - 1) * 4] += inside;
        r.markers = std::move(markers);
        return ingest(r, at);
    };
    const auto base = phased(0, {{21, "in"}, {41, "out \u00b7 later"}}, start + 9);
    const auto slow = phased(10, {{5, "early"}, {21, "in"}, {41, "out"}}, start + 10);
    EXPECT_EQ(verdict(slow, "budget=CPU:%2B50%25", now + 10).at("outcome"), "unchanged");
    judged = verdict(slow, "from=in&to=out&budget=CPU:%2B50%25", now + 10);
    EXPECT_EQ(std::tie(judged.at("baseline"), judged.at("outcome"), judged.at("series").at(0).at("runSamples")),
              std::tuple(base, "regressed", 20));
    EXPECT_EQ(verdict(slow, "from=out&to=in", now + 10).at("status"), 400);  // no "in" after "out"
    EXPECT_EQ(verdict(slow, "from=nosuch", now + 10).at("status"), 400);
    EXPECT_EQ(verdict(slow, "from=early", now + 10).at("status"), 400);  // the baseline has no such marker
}

TEST(VerdictCommand, ParsesItsCommandLine) {
    const auto command = parseVerdictCommand({"--server", "http://[::1]:8091/", "--usecase=login", "--latest",
                                              "--baseline-build", "v1", "--budget", "CPU:+5%", "--wait", "60"});
    ASSERT_TRUE(command) << command.error().message;
    EXPECT_EQ(std::tie(command->server.host, command->server.port, command->server.authority), std::tie("::1", "8091", "[::1]:8091"));
    EXPECT_EQ(std::tie(command->usecase, command->baselineBuild, command->waitSeconds), std::tuple("login", "v1", 60));
    EXPECT_EQ(parseVerdictCommand({"--server", "http://ci", "--run", "3"})->server.port, "80");
    const std::vector<std::string> bad[] = {
        {"--run", "3"}, {"--server", "https://ci", "--run", "3"}, {"--server", "http://ci:0", "--run", "3"},
        {"--server", "http://ci/api", "--run", "3"}, {"--server", "http://ci"}, {"--server", "http://ci", "--usecase", "a"},
        {"--server", "http://ci", "--run", "3", "--usecase", "a", "--latest"}, {"--server", "http://ci", "--run", "x"},
        {"--server", "http://ci", "--run", "3", "--baseline", "1", "--baseline-build", "b"},
        {"--server", "http://ci", "--run", "3", "--budget", "CPU"}, {"--server", "http://ci", "--run", "3", "--wait", "-1"},
        {"--server", "http://ci", "--run", "3", "--latest"}, {"--server", "http://ci", "--run", "3", "--color"},
    };
    for (const auto& arguments : bad) EXPECT_FALSE(parseVerdictCommand(arguments)) << arguments.back();
}

}  // namespace
}  // namespace perfagent

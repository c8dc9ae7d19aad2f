#include "api/read_api.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace perfagent {
namespace {

TEST(ReadApi, ParsesQueries) {
    const auto filter = parseRunsQuery("usecase=log%2F%2fin&srnumber=SR+1&device=10.0.0.7&since=2026-12-06T21:40:00.5Z"
                                       "&limit=5&after=12");
    ASSERT_TRUE(filter) << filter.error().message;
    EXPECT_EQ(std::tie(filter->usecase, filter->srnumber, filter->device), std::tie("log//in", "SR 1", "10.0.0.7"));
    EXPECT_EQ(std::tie(filter->sinceMs, filter->limit, filter->afterId), std::tuple(1'796'593'200'500, 5, 12));
    EXPECT_EQ(parseRunsQuery("")->limit, kDefaultRunsPerPage);
    EXPECT_EQ(parseRunsQuery("since=2026-12-06")->sinceMs, 1'796'515'200'000);
    EXPECT_EQ(parseRunsQuery("until=2026-12-06")->untilMs, 1'796'515'200'000);
    EXPECT_EQ(isoUtc(1'796'593'200'500), "2026-12-06T21:40:00.500Z");
    EXPECT_EQ(parseCompareQuery("runs=3,1,7").value(), (std::vector<std::int64_t>{3, 1, 7}));
    // A refusal says why; the error of an accepted query is empty.
    for (const char* bad : {"limit=0", "limit=1001", "limit=x", "after=-1", "since=yesterday", "since=2026-13-01",
                            "usecase=a&usecase=b", "usecase=%zz", "usecase=a%00b", "order=asc"})
        EXPECT_FALSE(parseRunsQuery(bad).error().message.empty()) << bad;
    for (const char* bad : {"runs=3", "runs=1,2,3,4,5", "runs=1,1", "runs=1,,2", "runs=1,x", "ids=1,2", ""})
        EXPECT_FALSE(parseCompareQuery(bad).error().message.empty()) << bad;
}

RunDetail detail(std::int64_t id, double shift) {
    const double missing = std::numeric_limits<double>::quiet_NaN();
    RunDetail run;
    run.info.names = {"say \"hi\"", std::nullopt, "p"};
    run.info.id = id, run.info.device = "10.0.0.7", run.info.samples = 2, run.info.lastSample = 4;
    run.info.startedMs = 1'796'593'200'000, run.info.lastReportMs = run.info.startedMs + 2000;
    run.info.labels = {{"target", "memhog"}};
    run.info.figures = {{"averagecpu", 10 + shift}, {"maxcpu", 20 + shift}, {"totalduration", 4000}};
    if (id == 4) run.info.figures["averagetemperature"] = 40;
    run.info.firstSampleMs = run.info.startedMs - 1500;
    run.markers = {{2, "tap, \"here\""}, {5, "done"}};
    run.series = {{"CPU", {missing, 1.5, missing, 0.1 + shift}}, {"MemoryUsed", {missing, 2, missing, 1e+16}},
                  {"AppCPU", {missing, 0.5, missing, shift}}};
    if (id == 4) run.series["Temperature"] = {missing, 40, missing, 41};
    return run;
}

TEST(ReadApi, WritesRunsSeriesCsvAndComparisons) {
    const RunDetail run = detail(4, 0);
    const auto json = boost::json::parse(runJson(run, run.info.lastReportMs + 9999)).as_object();
    const auto expected = boost::json::parse(R"({"usecase": "say \"hi\"", "srnumber": null, "started": "2026-12-06T21:40:00.000Z",
        "complete": false, "labels": {"target": "memhog"},
        "figures": {"averagecpu": 10.0, "averagetemperature": 40.0, "maxcpu": 20.0, "totalduration": 4000.0}})");
    for (const auto& [key, value] : expected.as_object()) EXPECT_EQ(json.at(key), value) << key;
    EXPECT_EQ(json.at("series").at("CPU"), boost::json::parse("[null, 1.5, null, 0.1]"));
    EXPECT_EQ(json.at("series").at("MemoryUsed").as_array()[3], 1e16);
    EXPECT_EQ(json.at("series").as_object().size(), 4u);
    EXPECT_EQ(boost::json::parse(runsJson({run.info}, run.info.lastReportMs + 10000)).at(0).at("complete"), true);

    // The system series first, the rest by name; seconds counted from the first sample.
    EXPECT_EQ(samplesCsv(run), "sample,time,elapsed_s,CPU,MemoryUsed,AppCPU,Temperature,marker\n"
                               "1,2026-12-06T21:39:58.500Z,,,,,,\n"
                               "2,2026-12-06T21:39:59.500Z,0,1.5,2.0,0.5,40.0,\"tap, \"\"here\"\"\"\n"
                               "3,2026-12-06T21:40:00.500Z,1,,,,,\n"
                               "4,2026-12-06T21:40:01.500Z,2,0.1,1e+16,0.0,41.0,\n"
                               "5,2026-12-06T21:40:02.500Z,3,,,,,done\n");  // marked just before the stop
    EXPECT_EQ(json.at("markers"), boost::json::parse(R"([{"sample": 2, "label": "tap, \"here\""}, {"sample": 5, "label": "done"}])"));
    EXPECT_EQ(json.at("firstSample"), "2026-12-06T21:39:58.500Z");

    const auto compared = boost::json::parse(compareJson({run, detail(5, 2.5), detail(6, -1)}, 0)).as_object();
    EXPECT_EQ(compared.at("runs").as_array().size(), 3u);
    const auto& differences = compared.at("differences").as_array();
    ASSERT_EQ(differences.size(), 2u);
    EXPECT_EQ(differences[0].at("id"), 5);
    EXPECT_EQ(differences[0].at("figures").at("averagecpu"), boost::json::parse(R"({"absolute": 2.5, "relative": 25.0})"));
    EXPECT_EQ(differences[1].at("figures").at("maxcpu").at("absolute"), -1.0);
    // Series and figures that both runs hold, not the duration; a base of 0 has no relative difference.
    EXPECT_EQ(differences[1].at("series").as_object().size(), 3u);
    EXPECT_EQ(differences[0].at("series").at("AppCPU").at("max"), boost::json::parse(R"({"absolute": 2.0, "relative": 400.0})"));
    EXPECT_DOUBLE_EQ(differences[0].at("series").at("CPU").at("mean").at("absolute").as_double(), 1.25);
    EXPECT_EQ(differences[1].at("series").at("AppCPU").at("mean").at("relative"), -200.0);
    EXPECT_EQ(differences[1].at("figures").as_object().size(), 2u);
}

}  // namespace
}  // namespace perfagent

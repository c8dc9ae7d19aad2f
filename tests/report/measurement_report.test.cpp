#include "report/measurement_report.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace perfagent {
namespace {

struct Series {
    SampleSeries cpu, used, free, compressed;
};

MeasurementReport makeReport(const Series& s) {
    MeasurementReport r;
    r.cpu = &s.cpu;
    r.memoryUsed = &s.used;
    r.memoryFree = &s.free;
    r.memoryCompressed = &s.compressed;
    r.averagecpu = 12.5;
    r.averagememoryfree = 100.0;
    r.averagememorycompressed = 0.0;
    r.averagememoryused = 2048.25;
    r.maxmemoryfree = 110.0;
    r.maxmemorycompressed = 0.0;
    r.maxmemoryused = 2050.0;
    r.maxcpu = 20.0;
    r.totalduration = 3000.0;
    return r;
}

TEST(SampleSeries, DenseKeysReplaceAndMapText) {
    SampleSeries series;
    EXPECT_EQ(mapText(series), "[:]");
    EXPECT_EQ(optionalMapText(series), "Optional([:])");
    series.set(1, 12.5);
    series.set(2, 3.0);
    series.set(10, 0.1);
    EXPECT_EQ(series.size(), 3u);
    EXPECT_EQ(mapText(series), "[\"1s\": 12.5, \"2s\": 3.0, \"10s\": 0.1]");
    series.set(2, 4.5);  // replaced, not added
    EXPECT_EQ(series.size(), 3u);
    EXPECT_EQ(series.get(2), 4.5);
    EXPECT_EQ(series.get(3), std::nullopt);
    EXPECT_EQ(mapText(series), "[\"1s\": 12.5, \"2s\": 4.5, \"10s\": 0.1]");
    series.set(0, 1.0);  // there is no sample 0
    series.set(-3, 1.0);
    EXPECT_EQ(series.size(), 3u);
    series.clear();
    EXPECT_TRUE(series.empty());
    EXPECT_EQ(mapText(series), "[:]");
}

TEST(TotalDuration, RoundsEachInstantBeforeSubtracting) {
    EXPECT_EQ(totalDuration(2.5, 10.4), 7.0);
    EXPECT_EQ(totalDuration(1700000000000.4, 1700000003000.5), 3001.0);
}

TEST(MeasurementReport, ValidityRejectsAnyNonFiniteNumber) {
    Series s;
    s.cpu.set(1, 10.0);
    EXPECT_TRUE(isValidJsonObject(makeReport(s)));

    auto nanAverage = makeReport(s);
    nanAverage.averagememoryused = std::nan("");
    EXPECT_FALSE(isValidJsonObject(nanAverage));
    EXPECT_EQ(encodePretty(nanAverage), std::nullopt);

    auto infiniteMax = makeReport(s);
    infiniteMax.maxcpu = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(isValidJsonObject(infiniteMax));

    s.free.set(2, std::nan(""));
    EXPECT_FALSE(isValidJsonObject(makeReport(s)));
}

TEST(MeasurementReport, EncodesPrettyJsonThatDecodesToTheSameDocument) {
    Series s;
    s.cpu.set(1, 12.5);
    s.cpu.set(2, 3.0);
    s.used.set(1, 2048.0);
    s.used.set(2, 1e16);
    s.free.set(1, 1e-05);
    auto r = makeReport(s);
    r.usecaseName = "log\"in\n";
    r.srNumber = "42";
    r.pagename = "caf\xc3\xa9 \xff";  // an invalid byte is replaced, the rest kept

    const auto body = encodePretty(r);
    ASSERT_TRUE(body);
    EXPECT_NE(body->find("\n  \"CPU\": {\n    \"1s\": 12.5,\n    \"2s\": 3.0\n  }"), std::string::npos) << *body;
    EXPECT_NE(body->find("\"MemoryCompressed\": {}"), std::string::npos);

    const auto doc = boost::json::parse(*body).as_object();
    EXPECT_EQ(doc.at("UsecaseName").as_string(), "log\"in\n");
    EXPECT_EQ(doc.at("srNumber").as_string(), "42");
    EXPECT_EQ(doc.at("pagename").as_string(), "caf\xc3\xa9 \xef\xbf\xbd");
    EXPECT_EQ(doc.at("CPU").at("2s").as_double(), 3.0);
    EXPECT_EQ(doc.at("MemoryUsed").at("2s").as_double(), 1e16);
    EXPECT_EQ(doc.at("MemoryFree").at("1s").as_double(), 1e-05);
    EXPECT_EQ(doc.at("averagememoryused").as_double(), 2048.25);
    EXPECT_EQ(doc.at("totalduration").as_double(), 3000.0);
    std::vector<std::string> keys;
    for (const auto& member : doc) keys.emplace_back(member.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"UsecaseName", "srNumber", "pagename", "CPU", "MemoryUsed", "MemoryFree",
                                              "MemoryCompressed", "averagecpu", "averagememoryfree",
                                              "averagememorycompressed", "averagememoryused", "maxmemoryfree",
                                              "maxmemorycompressed", "maxmemoryused", "maxcpu", "totalduration"}));
}

TEST(MeasurementReport, DescriptionAndDecodedEchoUseTheBracketForm) {
    Series s;
    s.cpu.set(1, 12.5);
    auto r = makeReport(s);
    r.srNumber = "42";
    const std::string expected =
        "[\"srNumber\": \"42\", \"CPU\": [\"1s\": 12.5], \"MemoryUsed\": [:], \"MemoryFree\": [:], "
        "\"MemoryCompressed\": [:], \"averagecpu\": 12.5, \"averagememoryfree\": 100.0, "
        "\"averagememorycompressed\": 0.0, \"averagememoryused\": 2048.25, \"maxmemoryfree\": 110.0, "
        "\"maxmemorycompressed\": 0.0, \"maxmemoryused\": 2050.0, \"maxcpu\": 20.0, \"totalduration\": 3000.0]";
    EXPECT_EQ(describe(r), expected);
    EXPECT_EQ(describeDecoded(*encodePretty(r)), expected);
    EXPECT_EQ(describeDecoded("{\"a\": [1, true, null, -2, 1.5, \"x\\u00e9\"], \"b\": {}, \"c\": [], \"d\": {\"e\": {\"f\": 0}}}"),
              "[\"a\": [1, true, nil, -2, 1.5, \"x\xc3\xa9\"], \"b\": [:], \"c\": [], \"d\": [\"e\": [\"f\": 0]]]");
    EXPECT_EQ(describeDecoded("{} trailing"), std::nullopt);
    // Every double reads back as exactly the value that was written.
    EXPECT_EQ(describeDecoded("{\"a\": 99.99999999999999, \"b\": 2.2250738585072014e-308, \"c\": -0.0}"),
              "[\"a\": 99.99999999999999, \"b\": 2.2250738585072014e-308, \"c\": -0.0]");
    EXPECT_EQ(describeDecoded("{\"a\": "), std::nullopt);
}

}  // namespace
}  // namespace perfagent

#include "report/json_text.hpp"
#include "report/json_writer.hpp"
#include "report/report_encoder.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace perfagent {
namespace {

std::string mapText(const SampleSeries& series) {
    std::string out;
    appendMapText(out, series);
    return out;
}

TEST(SampleSeries, TextsFollowAppendsAndReplacements) {
    SampleSeries s;
    EXPECT_EQ(mapText(s), "[:]");
    s.set(1, 12.5);
    s.set(2, 3.0);
    EXPECT_EQ(mapText(s), "[\"1s\": 12.5, \"2s\": 3.0]");
    s.set(2, 4.5);  // the newest replaced
    s.set(3, 1e16);
    EXPECT_EQ(s.jsonEntries(), "    \"1s\": 12.5,\n    \"2s\": 4.5,\n    \"3s\": 1e+16");
    s.set(1, 0.25);  // an older one replaced
    s.set(5, 7.0);   // a gap stays a gap
    s.set(0, 1.0);   // there is no sample 0
    EXPECT_EQ(mapText(s), "[\"1s\": 0.25, \"2s\": 4.5, \"3s\": 1e+16, \"5s\": 7.0]");
    EXPECT_EQ(s.jsonEntries(), "    \"1s\": 0.25,\n    \"2s\": 4.5,\n    \"3s\": 1e+16,\n    \"5s\": 7.0");
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(s.get(4), std::nullopt);
    EXPECT_EQ(s.get(2), 4.5);

    s.set(6, std::nan(""));
    EXPECT_FALSE(s.allFinite());
    s.set(6, 1.0);  // a replaced NaN no longer counts
    EXPECT_TRUE(s.allFinite());
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(mapText(s), "[:]");
}

struct Series {
    SampleSeries cpu, used, free, compressed;
    MeasurementReport report() const {
        MeasurementReport r;
        r.cpu = &cpu;
        r.memoryUsed = &used;
        r.memoryFree = &free;
        r.memoryCompressed = &compressed;
        r.averagecpu = 12.5;
        r.averagememoryused = 2048.25;
        r.maxcpu = 20.0;
        r.totalduration = 3000.0;
        return r;
    }
};

TEST(ReportEncoder, LinesAndBodyOfEachVariant) {
    Series s;
    s.cpu.set(1, 12.5);
    s.used.set(1, 2048.0);
    const auto valid = s.report();
    auto invalid = valid;
    invalid.averagememoryfree = std::nan("");
    auto infinite = valid;
    infinite.maxcpu = std::numeric_limits<double>::infinity();
    Series nanSeries;
    nanSeries.free.set(1, std::nan(""));

    const std::string text =
        "[\"CPU\": [\"1s\": 12.5], \"MemoryUsed\": [\"1s\": 2048.0], \"MemoryFree\": [:], \"MemoryCompressed\": [:], "
        "\"averagecpu\": 12.5, \"averagememoryfree\": 0.0, \"averagememorycompressed\": 0.0, "
        "\"averagememoryused\": 2048.25, \"maxmemoryfree\": 0.0, \"maxmemorycompressed\": 0.0, "
        "\"maxmemoryused\": 0.0, \"maxcpu\": 20.0, \"totalduration\": 3000.0]";
    const std::string dictionary = "finished generating dictinary " + text;
    const std::string json = "-------final JSon--------";
    using Lines = std::vector<std::string>;
    const struct {
        const char* name;
        MeasurementReport report;
        HandOffLines variant;
        Lines lines;  // the echo last when there is a body
        bool body;
    } cases[] = {
        {"running", valid, kRunningReportLines, {dictionary, json, text}, true},
        {"final", valid, kFinalReportLines, {dictionary, "valid object : true", json, text}, true},
        {"interim", valid, kInterimReportLines, {json, text}, true},
        {"final, NaN average", invalid, kFinalReportLines, {"", "valid object : false"}, false},
        {"final, infinite maximum", infinite, kFinalReportLines, {"", "valid object : false"}, false},
        {"screen, NaN sample", nanSeries.report(), kScreenReportLines, {}, false},
    };
    ReportEncoder encoder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto encoded = encoder.encode(c.report, c.variant);
        ASSERT_EQ(encoded.lines.size(), c.lines.size());
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            if (!c.lines[i].empty()) EXPECT_EQ(encoded.lines[i], c.lines[i]);
        ASSERT_EQ(encoded.body.has_value(), c.body);
        // The echo is what the body decodes to.
        if (c.body) EXPECT_EQ(jsonText(boost::json::parse(*encoded.body)), encoded.lines.back());
    }
}

TEST(ReportEncoder, BodyIsPrettyUtf8JsonInMemberOrderAndTheEchoShowsItsNames) {
    Series s;
    s.cpu.set(1, 12.5);
    s.cpu.set(2, 3.0);
    s.free.set(1, 1e-05);
    auto r = s.report();
    r.usecaseName = "log\"in\n";
    r.srNumber = "42";
    r.pagename = "caf\xc3\xa9 \xff\xed\xa0\x80";  // invalid bytes (a UTF-16 surrogate too) replaced, the rest kept

    ReportEncoder encoder;
    const auto encoded = encoder.encode(r, kRunningReportLines);
    ASSERT_TRUE(encoded.body);
    const std::string& body = *encoded.body;
    EXPECT_TRUE(body.starts_with(
              "{\n  \"UsecaseName\": \"log\\\"in\\n\",\n  \"srNumber\": \"42\",\n  \"pagename\": \"caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\n"
              "  \"CPU\": {\n    \"1s\": 12.5,\n"))
        << body;
    EXPECT_NE(body.find("\n  \"MemoryCompressed\": {},\n"), std::string::npos);
    EXPECT_TRUE(body.ends_with(",\n  \"totalduration\": 3000.0\n}"));

    const auto doc = boost::json::parse(body).as_object();
    std::vector<std::string> keys;
    for (const auto& member : doc) keys.emplace_back(member.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"UsecaseName", "srNumber", "pagename", "CPU", "MemoryUsed", "MemoryFree",
                                              "MemoryCompressed", "averagecpu", "averagememoryfree",
                                              "averagememorycompressed", "averagememoryused", "maxmemoryfree",
                                              "maxmemorycompressed", "maxmemoryused", "maxcpu", "totalduration"}));
    EXPECT_EQ(doc.at("MemoryFree").at("1s").as_double(), 1e-05);
    // The description shows the name as given; the echo as the body carries it.
    EXPECT_NE(encoded.lines.front().find("\"pagename\": \"caf\xc3\xa9 \xff\xed\xa0\x80\""), std::string::npos);
    EXPECT_EQ(encoded.lines.back(), jsonText(doc));
}

}  // namespace
}  // namespace perfagent

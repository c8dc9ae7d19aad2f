#include "report/json_text.hpp"
#include "report/json_writer.hpp"
#include "report/report_encoder.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace perfagent {
namespace {

std::string mapText(const SampleSeries& series) { std::string out; appendMapText(out, series); return out; }

TEST(SampleSeries, TextsFollowAppendsAndReplacements) {
    SampleSeries s;
    s.set(1, 12.5);
    s.set(1, 0.25);  // replaced
    s.set(2, 4.5);
    s.set(4, 7.0);   // a gap stays a gap
    s.set(0, 1.0);   // there is no sample 0
    EXPECT_EQ(mapText(s), "[\"1s\": 0.25, \"2s\": 4.5, \"4s\": 7.0]");
    EXPECT_EQ(s.jsonEntries(), "    \"1s\": 0.25,\n    \"2s\": 4.5,\n    \"4s\": 7.0");
    EXPECT_EQ(s.get(3), std::nullopt);
    s.set(6, std::nan(""));
    EXPECT_FALSE(s.allFinite());
    s.set(6, 1.0);  // a replaced NaN no longer counts
    EXPECT_TRUE(s.allFinite());
    // Sealed blocks, some replacements right after a seal: the held and the copied console texts agree.
    SampleSeries many;
    std::string expected = "[";
    for (int n = 1; n <= 2000; ++n) {
        many.set(n, -1.0);
        many.set(n, n * 0.5);
        expected += (n > 1 ? ", \"" : "\"") + std::to_string(n) + "s\": " + (n % 2 ? std::to_string(n / 2) + ".5" : std::to_string(n / 2) + ".0");
    }
    EXPECT_EQ(mapText(many), expected + "]");
    LinePieces held;
    appendMapText(held, many);
    EXPECT_EQ(held.joined(), expected + "]");
}

/// A report with one CPU and one memory-used sample.
MeasurementReport sampleReport(const SampleSeries& cpu, const SampleSeries& used, const SampleSeries& none) {
    MeasurementReport r;
    r.series = {{"CPU", &cpu}, {"MemoryUsed", &used}, {"MemoryFree", &none}, {"MemoryCompressed", &none}};
    r.figures = {{"averagecpu", 12.5},   {"averagememoryfree", 0},   {"averagememorycompressed", 0},
                 {"averagememoryused", 2048.25}, {"maxmemoryfree", 0}, {"maxmemorycompressed", 0},
                 {"maxmemoryused", 0},  {"maxcpu", 20.0},           {"totalduration", 3000.0}};
    return r;
}

TEST(ReportEncoder, LinesAndBodyOfEachVariant) {
    SampleSeries cpu, used, none, nan;
    cpu.set(1, 12.5), used.set(1, 2048.0), nan.set(1, std::nan(""));
    const auto valid = sampleReport(cpu, used, none);
    auto invalid = valid, infinite = valid, nanSample = valid, targetInfinite = valid, targetNan = valid;
    targetInfinite.target = MeasurementReport::Target{"zsh", 7, {{"AppCPU", &cpu}}, {{"averageappcpu", -std::numeric_limits<double>::infinity()}}};
    targetNan.target = MeasurementReport::Target{"zsh", 7, {{"AppCPU", &nan}}, {{"averageappcpu", 1.0}}};
    invalid.figures[1].value = std::nan("");  // averagememoryfree
    infinite.figures[7].value = std::numeric_limits<double>::infinity();  // maxcpu
    nanSample.series[2].samples = &nan;  // MemoryFree

    const std::string text =
        "[\"CPU\": [\"1s\": 12.5], \"MemoryUsed\": [\"1s\": 2048.0], \"MemoryFree\": [:], \"MemoryCompressed\": [:], "
        "\"averagecpu\": 12.5, \"averagememoryfree\": 0.0, \"averagememorycompressed\": 0.0, "
        "\"averagememoryused\": 2048.25, \"maxmemoryfree\": 0.0, \"maxmemorycompressed\": 0.0, "
        "\"maxmemoryused\": 0.0, \"maxcpu\": 20.0, \"totalduration\": 3000.0]";
    const std::string dictionary = "finished generating dictinary " + text, json = "-------final JSon--------";
    const struct {
        const char* name;
        MeasurementReport report;
        HandOffLines variant;
        std::vector<std::string> lines;  // the echo last when there is a body; "" is not compared
        bool body;
    } cases[] = {
        {"running", valid, kRunningReportLines, {dictionary, json, text}, true},
        {"final", valid, kFinalReportLines, {dictionary, "valid object : true", json, text}, true},
        {"interim", valid, kInterimReportLines, {json, text}, true},
        {"final, NaN average", invalid, kFinalReportLines, {"", "valid object : false"}, false},
        {"final, infinite maximum", infinite, kFinalReportLines, {"", "valid object : false"}, false},
        {"interim, NaN sample", nanSample, kInterimReportLines, {}, false},
        {"final, the target's infinite average", targetInfinite, kFinalReportLines, {"", "valid object : false"}, false},
        {"final, the target's NaN sample", targetNan, kFinalReportLines, {"", "valid object : false"}, false},
    };
    ReportEncoder encoder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto encoded = encoder.encode(c.report, c.variant);
        ASSERT_EQ(encoded.lines.size(), c.lines.size());
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            if (c.lines[i].empty()) continue;
            EXPECT_EQ(encoded.lines[i].joined(), c.lines[i]);
        }
        ASSERT_EQ(encoded.body.has_value(), c.body);
        if (c.body) { EXPECT_EQ(jsonText(boost::json::parse(*encoded.body)), encoded.lines.back().joined()); }  // the echo
    }
}

TEST(ReportEncoder, BodyIsPrettyUtf8JsonInMemberOrderAndTheEchoShowsItsNames) {
    SampleSeries cpu, used, none;
    cpu.set(1, 12.5), used.set(1, 1e-05);
    auto r = sampleReport(cpu, used, none);
    r.usecaseName = "log\"in\n", r.srNumber = "42", r.build = "v2.1";
    r.pagename = "caf\xc3\xa9 \xff\xed\xa0\x80";  // invalid bytes (a UTF-16 surrogate too) replaced, the rest kept
    ReportEncoder encoder;  // the lines refer to its buffer
    const auto encoded = encoder.encode(r, kRunningReportLines);
    ASSERT_TRUE(encoded.body);
    EXPECT_TRUE(encoded.body->starts_with("{\n  \"UsecaseName\": \"log\\\"in\\n\",\n  \"srNumber\": \"42\",\n  \"pagename\": \""));
    const auto body = boost::json::parse(*encoded.body);
    EXPECT_EQ(body.at("pagename"), "caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_NE(encoded.body->find("\",\n  \"build\": \"v2.1\",\n  \"CPU\": {"), std::string::npos);  // after the names
    EXPECT_EQ(body.at("MemoryUsed").at("1s"), 1e-05);
    // The description shows the name as given (the echo shows the body's, as the table above checks).
    EXPECT_NE(encoded.lines.front().joined().find("\"pagename\": \"caf\xc3\xa9 \xff\xed\xa0\x80\""), std::string::npos);

    // Markers go last, labels on one sample joined; the description shows them as the body holds them.
    Markers markers;
    EXPECT_TRUE(markers.add(1, "tap \"here\"") && markers.add(1, "scroll") && markers.add(12, "done"));
    r.markers = &markers;
    const auto marked = encoder.encode(r, kRunningReportLines);
    ASSERT_TRUE(marked.body);
    EXPECT_TRUE(marked.body->ends_with(",\n  \"markers\": {\n    \"1s\": \"tap \\\"here\\\" \xc2\xb7 scroll\",\n    \"12s\": \"done\"\n  }\n}"));
    EXPECT_TRUE(marked.lines.front().joined().ends_with(", \"markers\": [\"1s\": \"tap \\\"here\\\" \xc2\xb7 scroll\", \"12s\": \"done\"]]"));
}

}  // namespace
}  // namespace perfagent

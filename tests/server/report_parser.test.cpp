#include "report/json_writer.hpp"
#include "report/measurement_report.hpp"
#include "server/report_parser.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace perfagent {
namespace {

/// Values the agent's writer puts in shortest digits that Boost.JSON 1.81 alone would misread, and
/// ones in exponent form.
constexpr double kValues[] = {99.99999999999999, 0.1, 1e-05, 1e+16, 4096.0, 0.0, 33.333333333333336};

struct AgentSeries {
    SampleSeries cpu, used, free, compressed;
    explicit AgentSeries(int samples) {
        for (int n = 1; n <= samples; ++n) {
            const double v = kValues[(n - 1) % std::size(kValues)];
            cpu.set(n, v);
            used.set(n, v + n);
            free.set(n, 2 * v);
            compressed.set(n, n);
        }
    }
    MeasurementReport report() const {
        MeasurementReport r;
        r.cpu = &cpu, r.memoryUsed = &used, r.memoryFree = &free, r.memoryCompressed = &compressed;
        r.averagecpu = 12.5, r.maxmemoryused = 99.99999999999999, r.totalduration = 7000;
        return r;
    }
};

TEST(ReportParser, ReadsWhatTheAgentWritesExactly) {
    const AgentSeries series(9);
    struct Case {
        const char* what;
        RunNames names;
    };
    const Case cases[] = {
        {"running report", {"login", "SR-1", "home ✓"}},
        {"interim report", {"login", "SR-1", std::nullopt}},
        {"overall loop report", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MeasurementReport sent = series.report();
        sent.usecaseName = c.names.usecase, sent.srNumber = c.names.srnumber, sent.pagename = c.names.pagename;
        IncomingReport parsed;
        std::string error;
        ASSERT_TRUE(parseReport(*encodePretty(sent), parsed, error)) << error;
        EXPECT_EQ(parsed.names, c.names);
        EXPECT_EQ(parsed.summary.averagecpu, 12.5);
        EXPECT_EQ(parsed.summary.maxmemoryused, 99.99999999999999);
        EXPECT_EQ(parsed.summary.totalduration, 7000);
        ASSERT_EQ(parsed.samples.size(), 9u);
        for (int n = 1; n <= 9; ++n) {
            const Sample& s = parsed.samples[n - 1];
            EXPECT_EQ(s.n, n);
            EXPECT_EQ(s.values, (std::array<double, 4>{*series.cpu.get(n), *series.used.get(n), *series.free.get(n),
                                                       *series.compressed.get(n)}));
        }
    }
}

TEST(ReportParser, JoinsSeriesInAnyKeyOrderAndMarksMissingValues) {
    const std::string body =
        R"({"CPU": {"3s": 3, "1s": 1}, "MemoryUsed": {"1s": 10, "2s": 20}, "MemoryFree": {}, "MemoryCompressed": {},
            "UsecaseName": "", "extra": [1, {"a": null}], "averagecpu": 2, "averagememoryfree": 0,
            "averagememorycompressed": 0, "averagememoryused": 15, "maxmemoryfree": 0, "maxmemorycompressed": 0,
            "maxmemoryused": 20, "maxcpu": 3, "totalduration": 3000})";
    IncomingReport parsed;
    std::string error;
    ASSERT_TRUE(parseReport(body, parsed, error)) << error;
    EXPECT_FALSE(parsed.names.usecase);  // an empty name is no name
    ASSERT_EQ(parsed.samples.size(), 3u);
    EXPECT_EQ(parsed.samples[0].values[0], 1);
    EXPECT_EQ(parsed.samples[0].values[1], 10);
    EXPECT_TRUE(std::isnan(parsed.samples[1].values[0]));
    EXPECT_EQ(parsed.samples[1].values[1], 20);
    EXPECT_EQ(parsed.samples[2].n, 3);
    EXPECT_TRUE(std::isnan(parsed.samples[2].values[1]));
}

std::string withMember(std::string_view member) {
    std::string body = R"({"CPU": {"1s": 1}, "MemoryUsed": {}, "MemoryFree": {}, "MemoryCompressed": {},)";
    body += R"("averagecpu": 1, "averagememoryfree": 0, "averagememorycompressed": 0, "averagememoryused": 0,)";
    body += R"("maxmemoryfree": 0, "maxmemorycompressed": 0, "maxmemoryused": 0, "maxcpu": 1)";
    if (!member.empty()) body += ", " + std::string(member);
    return body + "}";
}

TEST(ReportParser, RefusesWhatIsNotAReport) {
    const std::string duration = R"("totalduration": 1000)";
    ASSERT_TRUE([&] {
        IncomingReport r;
        std::string e;
        return parseReport(withMember(duration), r, e);
    }());
    const std::pair<const char*, std::string> cases[] = {
        {"garbage", "hello"},
        {"empty", ""},
        {"array", "[1, 2]"},
        {"number", "12"},
        {"truncated", withMember(duration).substr(0, 40)},
        {"trailing bytes", withMember(duration) + "x"},
        {"missing summary", withMember("")},
        {"missing series", R"({"CPU": {}, "averagecpu": 1})"},
        {"name not a string", withMember(duration + R"(, "UsecaseName": 7)")},
        {"name null", withMember(duration + R"(, "pagename": null)")},
        {"summary not a number", withMember(R"("totalduration": "1000")")},
        {"series not an object", withMember(duration).replace(8, 9, R"([1, 2, 3])")},
        {"series value a string", withMember(duration).replace(8, 9, R"({"1s": "1"})")},
        {"series value an object", withMember(duration).replace(8, 9, R"({"1s": {}})")},
        {"key without s", withMember(duration).replace(8, 9, R"({"1": 1})")},
        {"key zero", withMember(duration).replace(8, 9, R"({"0s": 1})")},
        {"key with leading zero", withMember(duration).replace(8, 9, R"({"01s": 1})")},
        {"sample number too high", withMember(duration).replace(8, 9, R"({"1048577s": 1})")},
        {"sample twice", withMember(duration).replace(8, 9, R"({"1s": 1, "1s": 2})")},
        {"member twice", withMember(duration + ", " + duration)},
        {"huge number", withMember(R"("totalduration": 1e999)")},
        {"huge negative number", withMember(duration).replace(8, 9, R"({"1s": -2e308})")},
        {"invalid UTF-8", withMember(duration + ", \"UsecaseName\": \"a\xC3\x28\"")},
        {"deep nesting", withMember(duration + R"(, "x": )" + std::string(100'000, '[') + std::string(100'000, ']'))},
    };
    for (const auto& [what, body] : cases) {
        IncomingReport parsed;
        std::string error;
        EXPECT_FALSE(parseReport(body, parsed, error)) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
}

TEST(ReportParser, ReadsTheDeviceTokenUpload) {
    std::string token, error;
    EXPECT_TRUE(parseDeviceToken("{\n  \"DeviceToken\" : \"0a1b\"\n}", token, error));
    EXPECT_EQ(token, "0a1b");
    for (const char* body : {"", "[]", R"({"DeviceToken": 5})", R"({"DeviceToken": ""})", R"({"token": "a"})"}) {
        error.clear();
        EXPECT_FALSE(parseDeviceToken(body, token, error)) << body;
        EXPECT_FALSE(error.empty()) << body;
    }
}

}  // namespace
}  // namespace perfagent

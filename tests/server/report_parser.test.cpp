#include "report/json_writer.hpp"
#include "report/measurement_report.hpp"
#include "ingest/report_parser.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>
#include <tuple>

namespace perfagent {
namespace {

bool parses(std::string_view body, IncomingReport& parsed) {
    auto result = parseReport(std::string(body));
    EXPECT_EQ(result.error().message.empty(), result.has_value()) << result.error().message;
    if (result) parsed = std::move(*result);
    return result.has_value();
}

TEST(ReportParser, ReadsWhatTheAgentWritesExactly) {
    // Shortest digits that Boost.JSON 1.81 alone would misread, and ones in exponent form.
    constexpr double kValues[] = {99.99999999999999, 0.1, 1e-05, 1e+16, 4096.0, 0.0, 33.333333333333336};
    SampleSeries series[6];  // the system's four, the target's two (its memory misses sample 3)
    for (int n = 1; n <= 9; ++n)
        for (int i = 0; i < 6; ++i)
            if (i != 5 || n != 3) series[i].set(n, kValues[(n + i) % std::size(kValues)] + i);
    for (const RunNames& names : {RunNames{"login", "SR-1", "home ✓"}, RunNames{"login", "SR-1", std::nullopt}, RunNames{}}) {
        MeasurementReport sent;
        sent.series = {{"CPU", &series[0]}, {"MemoryUsed", &series[1]}, {"MemoryFree", &series[2]}, {"MemoryCompressed", &series[3]}};
        sent.figures = {{"averagecpu", 12.5}, {"averagememoryfree", 0}, {"averagememorycompressed", 0},
                        {"averagememoryused", 0}, {"maxmemoryfree", 0}, {"maxmemorycompressed", 0},
                        {"maxmemoryused", 99.99999999999999}, {"maxcpu", 0}, {"totalduration", 7000}};
        sent.usecaseName = names.usecase, sent.srNumber = names.srnumber, sent.pagename = names.pagename;
        const bool target = !names.pagename;
        if (target)
            sent.target = {"memhog", 4242, {{"AppCPU", &series[4]}, {"AppMemory", &series[5]}},
                           {{"averageappcpu", 8.75}, {"maxappcpu", 12.5}, {"averageappmemory", 313.5}, {"maxappmemory", 320}}};
        IncomingReport parsed;
        ASSERT_TRUE(parses(*encodePretty(sent), parsed));
        EXPECT_EQ(std::tie(parsed.names, parsed.figures.at("maxmemoryused"), parsed.figures.at("totalduration")),
                  std::tuple(names, 99.99999999999999, 7000.0));
        EXPECT_EQ(parsed.figures.size(), target ? 13u : 9u);
        ASSERT_EQ(parsed.series.size(), target ? 6u : 4u);
        if (target) {
            EXPECT_EQ(parsed.labels, (Labels{{"target", "memhog"}, {"targetpid", "4242"}}));
            EXPECT_EQ(std::tie(parsed.series[5], parsed.figures.at("averageappmemory")), std::tuple("AppMemory", 313.5));
        }
        ASSERT_EQ(parsed.numbers.size(), 9u);
        for (int n = 1; n <= 9; ++n) {
            EXPECT_EQ(parsed.numbers[n - 1], n);
            for (std::size_t i = 0; i < parsed.series.size(); ++i) {
                const double value = parsed.value(n - 1, i);
                EXPECT_TRUE(series[i].get(n) ? value == *series[i].get(n) : std::isnan(value)) << parsed.series[i] << n;
            }
        }
    }
}

/// `count` extra series members, S0 … , each with one sample.
std::string series(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += ", \"S" + std::to_string(i) + R"(": {"1s": )" + std::to_string(i) + "}";
    return out;
}

TEST(ReportParser, JoinsSeriesInAnyKeyOrderAndRefusesWhatIsNotAReport) {
    // A valid report, its series in no order and with holes; each case changes its CPU series (`cpu`) or
    // replaces the members after the summary (`extra`).
    const auto body = [](std::string_view cpu = R"({"3s": 3, "1s": 1})",
                         std::string_view extra = R"("totalduration": 1000, "UsecaseName": "", "extra": [1, {"a": null}])") {
        return R"({"CPU": )" + std::string(cpu) + R"(, "MemoryUsed": {"1s": 10, "2s": 20}, "MemoryFree": {}, "MemoryCompressed": {},)"
               R"("averagecpu": 1, "averagememoryfree": 0, "averagememorycompressed": 0, "averagememoryused": 0,)"
               R"("maxmemoryfree": 0, "maxmemorycompressed": 0, "maxmemoryused": 0, "maxcpu": 1)" +
               (extra.empty() ? "" : ", " + std::string(extra)) + "}";
    };
    IncomingReport valid;
    ASSERT_TRUE(parses(body(), valid));
    EXPECT_FALSE(valid.names.usecase);  // an empty name is no name
    ASSERT_EQ(valid.numbers.size(), 3u);
    EXPECT_EQ(std::tuple(valid.value(0, 1), valid.numbers[2], valid.value(2, 0)), std::tuple(10, 3, 3));
    EXPECT_TRUE(std::isnan(valid.value(1, 0)) && std::isnan(valid.value(2, 1)));
    const std::string duration = R"("totalduration": 1000)";
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""}, {"array", "[1, 2]"}, {"truncated", body().substr(0, 40)}, {"trailing bytes", body() + "x"},
        {"missing summary", body(R"({"1s": 1})", "")}, {"name null", body(R"({"1s": 1})", duration + R"(, "pagename": null)")},
        {"summary not a number", body(R"({"1s": 1})", R"("totalduration": "1000")")},
        {"member twice", body(R"({"1s": 1})", duration + ", " + duration)},
        {"series not an object", body("[1, 2, 3]")}, {"series value an object", body(R"({"1s": {}})")},
        {"key without s", body(R"({"1": 1})")}, {"key zero", body(R"({"0s": 1})")}, {"key with leading zero", body(R"({"01s": 1})")},
        {"sample number too high", body(R"({"1048577s": 1})")}, {"sample twice", body(R"({"1s": 1, "1s": 2})")},
        {"huge negative number", body(R"({"1s": -2e308})")},
        {"NUL in a name", body(R"({"1s": 1})", duration + R"(, "pagename": "a\u0000b")")},
        {"NUL in a label", body(R"({"1s": 1})", duration + R"(, "target": "\u0000")")},
        {"label name outside the letters", body(R"({"1s": 1})", duration + R"(, "tar-get": "x")")},
        {"series name of 65 bytes", body(R"({"1s": 1})", duration + ", \"" + std::string(65, 's') + R"(": {"1s": 1})")},
        {"label of 257 bytes", body(R"({"1s": 1})", duration + R"(, "build": ")" + std::string(257, 'b') + "\"")},
        {"33 series", body(R"({"1s": 1})", duration + series(29))},
        {"marker not a text", body(R"({"1s": 1})", duration + R"(, "markers": {"1s": 1})")},
        {"marker key not a sample key", body(R"({"1s": 1})", duration + R"(, "markers": {"x": "tap"})")},
        {"markers not an object", body(R"({"1s": 1})", duration + R"(, "markers": "tap")")},
        {"NUL in a marker", body(R"({"1s": 1})", duration + R"(, "markers": {"1s": "a\u0000"})")},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        IncomingReport parsed;
        EXPECT_FALSE(parses(text, parsed));
    }
    // The largest sample number is taken, and so are 32 series, a name of 64 bytes and a label of 256.
    EXPECT_TRUE(parses(body(R"({"1048576s": 1})"), valid));
    // A number too small for a double is 0.
    ASSERT_TRUE(parses(body(R"({"1s": 1e-400, "2s": -1e-400})"), valid));
    const auto cpu = static_cast<std::size_t>(std::find(valid.series.begin(), valid.series.end(), "CPU") - valid.series.begin());
    EXPECT_EQ(std::tuple(valid.value(0, cpu), valid.value(1, cpu)), std::tuple(0.0, 0.0));
    const std::string longName(64, 'n'), longLabel(256, 'l');
    ASSERT_TRUE(parses(body(R"({"1s": 1})", duration + series(28) + ", \"" + longName + R"(": 7, "build": ")" + longLabel + "\""), valid));
    EXPECT_EQ(std::tuple(valid.series.size(), valid.series[4], valid.figures.at(longName), valid.labels.at("build")),
              std::tuple(32u, "S0", 7.0, longLabel));

    // Markers, texts by sample: as many as a measurement may have, not one more.
    std::string markers;
    for (int n = 1; n <= 1001; ++n) markers += (n > 1 ? ", \"" : "\"") + std::to_string(n) + "s\": \"tap \u00b7 scroll\"";
    const auto marked = [&](std::size_t count) {
        return body(R"({"1s": 1})", duration + R"(, "markers": {)" + markers.substr(0, markers.find(", \"" + std::to_string(count + 1) + "s")) + "}");
    };
    ASSERT_TRUE(parses(marked(1000), valid));
    EXPECT_EQ(std::tuple(valid.markers.size(), valid.markers.at(1000), valid.labels.size()), std::tuple(1000u, "tap \u00b7 scroll", 0u));
    EXPECT_FALSE(parseReport(marked(1001)));
}

TEST(ReportParser, ReadsShortAndLongDecimalsExactly) {
    // Decimals of 1 to 17 digits, some with a sign or leading zeros: each read as its text converts exactly.
    std::string body = R"({"MemoryUsed": {}, "MemoryFree": {}, "MemoryCompressed": {}, "CPU": {)";
    std::vector<std::string> texts;
    for (int i = 1; i <= 3000; ++i) {
        char text[40];
        std::snprintf(text, sizeof text, "%.*f", i % 17, (i % 2 ? -1 : 1) * i * 1.2345678901234567 / (i % 5 ? 1 : 1e6));
        texts.emplace_back(text);
        body += (i > 1 ? ", \"" : "\"") + std::to_string(i) + "s\": " + text;
    }
    body += "}";
    for (const char* key : {"averagecpu", "averagememoryfree", "averagememorycompressed", "averagememoryused",
                            "maxmemoryfree", "maxmemorycompressed", "maxmemoryused", "maxcpu", "totalduration"})
        body += std::string(", \"") + key + "\": 0";
    IncomingReport parsed;
    ASSERT_TRUE(parses(body + "}", parsed));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        double exact = 0;
        std::from_chars(texts[i].data(), texts[i].data() + texts[i].size(), exact);
        EXPECT_EQ(parsed.value(i, 0), exact) << texts[i];
    }
}

/// What parsing `body` gives, written out: the refusal, or the report with every value as read.
std::string outcome(const std::string& body) {
    const auto result = parseReport(body);
    if (!result) return "refused: " + result.error().message;
    const IncomingReport& r = *result;
    std::ostringstream out;
    out << r.names.usecase.value_or("-") << r.names.pagename.value_or("-") << r.labels.size() << r.figures.size();
    for (const auto& [name, value] : r.labels) out << ' ' << name << '=' << value;
    for (const auto& [n, text] : r.markers) out << " marker " << n << '=' << text;
    for (const auto& [name, value] : r.figures) out << ' ' << name << '=' << std::setprecision(17) << value;
    for (const std::string& name : r.series) out << ' ' << name;
    for (std::size_t row = 0; row < r.numbers.size(); ++row) {
        out << '\n' << r.numbers[row] << ':';
        for (std::size_t column = 0; column < r.series.size(); ++column) out << ' ' << std::setprecision(17) << r.value(row, column);
    }
    return out.str();
}

TEST(ReportParser, ReadsPlainBodiesAsBoostJsonDoes) {
    // A body as the agent writes it is read by a plain reader; one that opens with an array member is read
    // by Boost.JSON alone. Both take the same bodies and refuse the same, with the same reason.
    const auto body = [](std::string_view cpu, std::string_view extra = "") {
        return R"({"CPU": )" + std::string(cpu) + R"(, "MemoryUsed": {"1s": 10, "2s": 20}, "MemoryFree": {}, "MemoryCompressed": {},)"
               "\n\t\"averagecpu\": 1, \"averagememoryfree\": 0, \"averagememorycompressed\": 0, \"averagememoryused\": -0,"
               R"("maxmemoryfree": 0.5, "maxmemorycompressed": 1E+2, "maxmemoryused": -1.5e-3, "maxcpu": 12345678901234567890,)"
               R"("totalduration" : 1000)" + std::string(extra) + "}";
    };
    const std::string cpus[] = {
        R"({"1s": -0, "2s": 0.5, "3s": 1E+2, "4s": -1.5e-3, "5s": 1e-400, "6s": 123456789012345678901234567890})",
        R"({ "3s" : 3.25 ,"1s":1} )", "{}", R"({"2s": 1, "2s": 2})", R"({"1s": 01})", R"({"1s": 1.})", R"({"1s": .5})",
        R"({"1s": -})", R"({"1s": 1e})", R"({"1s": +1})", R"({"1s": 1e999})", R"({"1s": 1 2})", R"({"1s": 1,})",
        R"({"1s" 1})", R"({"1s": "1"})", R"({"s": 1})", R"({"1048577s": 1})", R"({"12345678901234567s": 1})", R"({"1s": 1)",
        R"({"1s": true})", R"({"1s\u0073": 1})", R"({"1s": "a"})",
        R"({"1s": 0.12345678901e-3, "2s": 1.12345678, "3s": 7.1234567890123456789})", R"({"1s": 1.12345678.5})"};
    const std::string extras[] = {
        "", R"(, "pagename": "héllo ✓", "target": "a b")", ", \"pagename\": \"\xC3\x28\"", ", \"pagename\": \"\xED\xA0\x80\"",
        R"(, "pagename": "a\"b")", ", \"target\": \"x\ty\"", R"(, "targetpid": 18446744073709551615, "x": -5)",
        R"(, "targetpid": 4242.5)", R"(, "AppCPU": {"1s": 3}, "AppCPU": {})", "} ", ", ", R"(, "maxcpu": 1)",
        R"(, "markers": {"2s": "start", "1s": "a · b"})", R"(, "markers": {"1s": 3})", R"(, "markers": {"x": "a"})"};
    const auto throughBoost = [](std::string text) { return text.insert(1, R"("zz": [], )"); };
    for (const std::string& cpu : cpus) EXPECT_EQ(outcome(body(cpu)), outcome(throughBoost(body(cpu)))) << cpu;
    for (const std::string& extra : extras) {
        const std::string text = body(R"({"1s": 1})", extra);
        EXPECT_EQ(outcome(text), outcome(throughBoost(text))) << extra;
    }
    EXPECT_NE(outcome(body(cpus[0])).find("6: 1.2345678901234568e+29"), std::string::npos) << outcome(body(cpus[0]));
}

TEST(ReportParser, RunningReportsAsParsedStoreOnlyTheirNewSamplesAndRestartsAsBefore) {
    // Report k of a measurement, samples 1 to k, each series "n.1" at sample n; sample `changed` other.
    const auto report = [](int k, int changed = 0) {
        std::string series, body = "{";
        for (int n = 1; n <= k; ++n)
            series += (n > 1 ? ",\n    \"" : "\"") + std::to_string(n) + "s\": " + std::to_string(n + (n == changed) * 50) + ".1";
        for (const char* name : {"CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"}) body += std::string("\"") + name + "\": {" + series + "}, ";
        return parseReport(body + R"("averagecpu": 1, "averagememoryfree": 0, "averagememorycompressed": 0, "averagememoryused": 0,)"
                                  R"("maxmemoryfree": 0, "maxmemorycompressed": 0, "maxmemoryused": 0, "maxcpu": 1, "totalduration": )" +
                           std::to_string(k * 1000) + "}").value();
    };
    testing::TempDirectory dir;
    const auto store = openSqliteRunStore((dir / "runs.sqlite3").string());
    const auto first = store->ingest("10.0.0.7", report(3), 1000);
    // Report 6 repeats samples 1 to 3, sample 2 other than stored: the run keeps what it holds.
    const auto second = store->ingest("10.0.0.7", report(6, 2), 2000);
    EXPECT_EQ(std::tuple(second.runId, second.newRun, second.storedSamples), std::tuple(first.runId, false, 3));
    // One whose first sample, or last sample the run holds, differs is another measurement's.
    for (const int changed : {1, 6}) EXPECT_TRUE(store->ingest("10.0.0.7", report(7, changed), 3000).newRun) << changed;
    const auto run = store->run(first.runId);
    for (int n = 1; n <= 6; ++n) EXPECT_EQ(run->series.at("MemoryFree").at(n - 1), std::stod(std::to_string(n) + ".1")) << n;
}

TEST(ReportParser, ReadsTheDeviceTokenUpload) {
    EXPECT_EQ(parseDeviceToken("{\n  \"DeviceToken\" : \"0a1b\"\n}").value(), "0a1b");
    for (const char* body : {"", "[]", R"({"DeviceToken": 5})", R"({"DeviceToken": ""})", R"({"token": "a"})"})
        EXPECT_FALSE(parseDeviceToken(body)) << body;
}

}  // namespace
}  // namespace perfagent

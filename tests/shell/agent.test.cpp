// End-to-end tests: the built agent runs as a child process, reports to an in-process recorder standing in
// for the collection server, and is driven by pushes over its listener and by signals.

#include "platform/files.hpp"
#include "support/agent_process.hpp"
#include "support/http_recorder.hpp"
#include "support/temp_directory.hpp"

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace perfagent::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

// Liveness bound for anything the agent is waited for; sanitizer builds start and sample slowly.
constexpr auto kWait = 30s;

/// A push with the command word `command` for use case "login", SR number 42, page "home".
std::string push(std::string_view command) {
    return R"({"aps":{"alert":")" + std::string(command) + R"("},"srNumber":"42","usecase":"login","pagename":"home"})";
}

constexpr std::string_view kReportTarget = "/entry-point/json";
constexpr std::string_view kTokenTarget = "/entry-point/devicetokentest";

std::vector<RecordedRequest> requestsTo(const HttpRecorder& recorder, std::string_view target) {
    std::vector<RecordedRequest> found;
    for (auto& request : recorder.requests())
        if (request.target == target) found.push_back(std::move(request));
    return found;
}

/// Waits until the recorder holds at least `count` requests to `target`.
bool waitForRequests(const HttpRecorder& recorder, std::string_view target, std::size_t count,
                     std::chrono::milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (requestsTo(recorder, target).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

boost::json::object parseObject(const std::string& text) {
    boost::system::error_code error;
    auto value = boost::json::parse(text, error);
    if (error || !value.is_object()) {
        ADD_FAILURE() << "not a JSON object: " << text;
        return {};
    }
    return std::move(value.as_object());
}

double number(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (value == nullptr || !value->is_number()) {
        ADD_FAILURE() << "no number under \"" << key << "\" in " << boost::json::serialize(object);
        return std::nan("");
    }
    return value->to_number<double>();
}

std::string text(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    return value != nullptr && value->is_string() ? std::string(value->get_string()) : std::string("<missing>");
}

void expectNames(const boost::json::object& report) {
    EXPECT_EQ(text(report, "UsecaseName"), "login");
    EXPECT_EQ(text(report, "srNumber"), "42");
    EXPECT_EQ(text(report, "pagename"), "home");
}

std::set<std::string> sampleKeys(std::size_t count) {
    std::set<std::string> keys;
    for (std::size_t n = 1; n <= count; ++n) keys.insert(std::to_string(n) + "s");
    return keys;
}

/// The keys of one series of a report; every series of a report must carry the same keys.
std::set<std::string> seriesKeys(const boost::json::object& report) {
    std::set<std::string> keys;
    bool first = true;
    for (const char* name : {"CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"}) {
        const auto* series = report.if_contains(name);
        if (series == nullptr || !series->is_object()) {
            ADD_FAILURE() << "no series \"" << name << "\" in " << boost::json::serialize(report);
            continue;
        }
        std::set<std::string> these;
        for (const auto& entry : series->get_object()) these.insert(std::string(entry.key()));
        if (first) keys = these;
        EXPECT_EQ(these, keys) << name << " differs from the other series";
        first = false;
    }
    return keys;
}

/// The number in a console line such as "start time : 1796578773751.0".
double lineNumber(const std::string& line, std::string_view label) {
    EXPECT_THAT(line, StartsWith(std::string(label)));
    return std::strtod(line.c_str() + std::min(label.size(), line.size()), nullptr);
}

double nowMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> slice(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
    return {lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())),
            lines.begin() + static_cast<std::ptrdiff_t>(std::min(to, lines.size()))};
}

std::size_t countLines(const std::vector<std::string>& lines, std::size_t from, std::size_t to,
                       std::string_view prefix) {
    const auto part = slice(lines, from, to);
    return static_cast<std::size_t>(
        std::count_if(part.begin(), part.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
}

/// Every report upload is a POST with JSON Content-Type and Accept, each once.
void expectReportRequest(const RecordedRequest& request) {
    EXPECT_EQ(request.method, "POST");
    for (const char* name : {"Content-Type", "Accept"}) {
        EXPECT_EQ(request.headerCount(name), 1u) << name;
        EXPECT_EQ(request.header(name), "application/json") << name;
    }
}

/// Checks the reports the console announced between `from` and `to` (one per "finished generating
/// dictinary " line): exactly one final report, picked by `isFinal`, carries the names and every sample;
/// the running ones carry one more sample each (the remote measurement's also the names and the time
/// since the start; the overall loop's no names). Nothing is reported once the measurement has stopped.
void expectReports(const HttpRecorder& recorder, const std::vector<std::string>& lines, std::size_t from,
                   std::size_t to, const std::function<bool(const boost::json::object&)>& isFinal, bool remote) {
    const std::size_t count = countLines(lines, from, to, "finished generating dictinary ");
    ASSERT_TRUE(waitForRequests(recorder, kReportTarget, count));
    std::optional<boost::json::object> finalReport;
    std::set<std::set<std::string>> runningKeys;
    for (const auto& upload : requestsTo(recorder, kReportTarget)) {
        expectReportRequest(upload);
        auto report = parseObject(upload.body);
        if (!finalReport && isFinal(report)) {
            finalReport = std::move(report);
            continue;
        }
        const auto keys = seriesKeys(report);
        if (remote) {
            expectNames(report);
            EXPECT_GE(number(report, "totalduration"), static_cast<double>(keys.size()) * 1000.0 - 100.0);
        } else {
            EXPECT_FALSE(report.contains("srNumber") || report.contains("pagename"));
        }
        EXPECT_TRUE(runningKeys.insert(keys).second) << "two running reports with the same samples";
    }
    ASSERT_TRUE(finalReport) << "no final report";
    // Three were waited for before the stop, and more may come before it is handled.
    EXPECT_GE(runningKeys.size(), 3u);
    std::set<std::set<std::string>> expected;
    for (std::size_t n = 1; n <= runningKeys.size(); ++n) expected.insert(sampleKeys(n));
    EXPECT_EQ(runningKeys, expected);
    expectNames(*finalReport);
    EXPECT_EQ(seriesKeys(*finalReport), sampleKeys(runningKeys.size()));

    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(requestsTo(recorder, kReportTarget).size(), count);
}

/// A token of the same form as the agent's that is certainly not the agent's.
std::string otherToken(const std::string& token) {
    std::string other = token;
    if (!other.empty()) other[0] = other[0] == '0' ? '1' : '0';
    return other;
}

/// Waits for a child that is expected to end by itself (the options that never start the agent).
ProcessExit runToEnd(ChildProcess& child) {
    const auto exit = child.waitForExit(kWait);
    if (!exit) {
        ADD_FAILURE() << "the agent did not exit";
        return {};
    }
    return *exit;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(AgentProcess::binary())) << AgentProcess::binary() << " is not built";
        ASSERT_FALSE(home.path().empty());
    }

    void TearDown() override {
        for (auto& agent : agents_)
            if (!agent.checked) shutDown(*agent.process);
    }

    /// Starts an agent on `home` and waits until its launch is over: the token has been handed to the
    /// upload and the notification permission has been answered.
    AgentProcess* startAgent() {
        auto launched = AgentProcess::launch(home.path(), recorder.port());
        if (!launched) return nullptr;
        agents_.push_back({std::move(launched), false});
        AgentProcess* agent = agents_.back().process.get();
        const auto& child = agent->process();
        if (!child.waitForLine([](std::string_view line) { return line.starts_with("Vellimora = "); }, kWait) ||
            !child.waitForLine([](std::string_view line) { return line.starts_with("Notification Settings:"); },
                               kWait)) {
            ADD_FAILURE() << "the launch did not finish; stdout:\n" << child.outputText() << "\nlog:\n"
                          << agent->logText();
            return nullptr;
        }
        return agent;
    }

    /// Ends the agent as a terminal would (unless the test has signalled it already) and expects a clean
    /// exit: status 0 and no sanitizer report (the agent's standard error, where such reports go, is its
    /// log file).
    void shutDown(AgentProcess& agent, bool signalled = false) {
        for (auto& entry : agents_)
            if (entry.process.get() == &agent) entry.checked = true;
        auto& child = agent.process();
        if (!signalled) {
            const bool wasRunning = child.running();
            EXPECT_TRUE(wasRunning) << "the agent ended before it was told to";
            if (wasRunning) child.sendSignal(SIGTERM);
        }
        const auto exit = child.waitForExit(kWait);
        ASSERT_TRUE(exit) << "the agent did not exit after the signal";
        const std::string errors = child.errorText() + agent.logText();
        EXPECT_TRUE(exit->clean()) << *exit << "\nstandard error and log:\n" << errors;
        EXPECT_THAT(errors, AllOf(Not(HasSubstr("Sanitizer")), Not(HasSubstr("runtime error:"))));
    }

    HttpRecorder recorder;
    TempDirectory home;

private:
    struct Launched {
        std::unique_ptr<AgentProcess> process;
        bool checked;
    };
    std::vector<Launched> agents_;
};

TEST_F(AgentTest, LaunchPrintsItsReadoutThenUploadsAStableDeviceToken) {
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);

    // The permission answer comes from another thread and may fall anywhere after the launch began.
    std::vector<std::string> lines;
    for (const auto& line : agent->process().lines())
        if (!line.starts_with("permission granted: ") && !line.starts_with("Notification Settings:"))
            lines.push_back(line);
    const std::string token = agent->deviceToken();
    ASSERT_THAT(token, MatchesRegex("[0-9a-f]{64}"));
    EXPECT_EQ(readFile(home / "Library/device-token"), token + "\n");
    EXPECT_THAT(slice(lines, 0, 15),
                ElementsAre("testbackground", "play audio", "playback ok", "Session is active",
                            MatchesRegex("UIDevice Version :-?[0-9]+"), "UIDevice batteryLevel :-1.0",
                            StartsWith("UIDevice systemName :"), StartsWith("UIDevice systemVersion :"),
                            "UIDevice batteryState :0", StartsWith("UIDevice name :"), StartsWith("UIDevice model :"),
                            MatchesRegex("UIDevice orientation :-?[0-9]+"), "\"testworkinglog\"",
                            "DEVICE TOKEN = " + token, "Vellimora = " + token));
    EXPECT_THAT(agent->process().lines(), ::testing::Contains("permission granted: true"));

    ASSERT_TRUE(waitForRequests(recorder, kTokenTarget, 1));
    const auto upload = requestsTo(recorder, kTokenTarget).front();
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.headerCount("Content-Type"), 0u) << "the token upload adds no header";
    const auto document = parseObject(upload.body);
    EXPECT_EQ(document.size(), 1u) << upload.body;
    EXPECT_EQ(text(document, "DeviceToken"), token);

    // The next launch on the same home keeps the token, and uploads it again.
    shutDown(*agent);
    AgentProcess* again = startAgent();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->deviceToken(), token);
    EXPECT_TRUE(again->process().waitForLine("DEVICE TOKEN = " + token, kWait));
    ASSERT_TRUE(waitForRequests(recorder, kTokenTarget, 2));
    EXPECT_EQ(text(parseObject(requestsTo(recorder, kTokenTarget)[1].body), "DeviceToken"), token);
}

TEST_F(AgentTest, StartAndStopPushesRunAMeasurementThatIsReportedEverySecondAndAtTheEnd) {
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    auto& child = agent->process();
    const std::string token = agent->deviceToken();

    const std::size_t startFrom = child.lineCount();
    ASSERT_EQ(sendPush(agent->listenPort(), token, push("start")), 202);
    const auto started = child.waitForLine("hellow world", kWait, startFrom);
    ASSERT_TRUE(started);
    auto lines = child.lines();
    ASSERT_THAT(slice(lines, startFrom, *started + 1),
                ElementsAre(AllOf(StartsWith("userinfo :"), HasSubstr("login"), HasSubstr("home")), "pagename:home",
                            "srnumber : 42", "usecasename : login", MatchesRegex("start time : [0-9]+\\.0"),
                            "start:test", "hellow world"));
    const double startTime = lineNumber(lines[startFrom + 4], "start time : ");
    EXPECT_NEAR(startTime, nowMilliseconds(), 60'000.0) << "the start instant is in milliseconds since 1970";

    // Let it take three samples, each reported at once.
    ASSERT_TRUE(waitForRequests(recorder, kReportTarget, 3)) << child.outputText();

    const std::size_t stopFrom = child.lineCount();
    ASSERT_EQ(sendPush(agent->listenPort(), token, push("stop")), 202);
    const auto stopped = child.waitForLine("stop:test", kWait, stopFrom);
    ASSERT_TRUE(stopped);
    ASSERT_TRUE(child.waitForLine("hellow world", kWait, *stopped));
    lines = child.lines();
    const auto stopAt = std::find_if(lines.begin() + static_cast<std::ptrdiff_t>(stopFrom), lines.end(),
                                     [](const std::string& line) { return line.starts_with("userinfo :"); });
    ASSERT_NE(stopAt, lines.end());
    const std::size_t stopLine = static_cast<std::size_t>(stopAt - lines.begin());
    ASSERT_THAT(slice(lines, stopLine, stopLine + 7),
                ElementsAre(StartsWith("userinfo :"), "pagename:home", "srnumber : 42", "usecasename : login",
                            MatchesRegex("stop time : [0-9]+\\.0"), "entered stoping", "pagename:Optional(\"home\")"));
    EXPECT_THAT(slice(lines, stopLine, *stopped), ::testing::Contains("valid object : true"));
    EXPECT_EQ(lines[*stopped + 1], "hellow world");
    const double stopTime = lineNumber(lines[stopLine + 4], "stop time : ");

    // The final report's duration runs from the start to the stop printed above.
    expectReports(recorder, lines, startFrom, *stopped, [&](const boost::json::object& report) {
        return number(report, "totalduration") == stopTime - startTime;
    }, /*remote=*/true);
}

TEST_F(AgentTest, OverallPushesRunAMeasurementFromTheBackgroundLoop) {
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    auto& child = agent->process();
    const std::string token = agent->deviceToken();

    const std::size_t startFrom = child.lineCount();
    ASSERT_EQ(sendPush(agent->listenPort(), token, push("startoverall")), 202);
    const auto started = child.waitForLine("startoverall:test", kWait, startFrom);
    ASSERT_TRUE(started);
    ASSERT_TRUE(child.waitForLine("hellow world", kWait, *started));
    auto lines = child.lines();
    EXPECT_THAT(slice(lines, startFrom, *started + 2),
                ElementsAre(StartsWith("userinfo :"), "pagename:home", "srnumber : 42", "usecasename : login",
                            MatchesRegex("start time : [0-9]+\\.0"), "UsecaseName************ : login",
                            "SrNo************ : 42", "PageName************ : home", "startoverall:test",
                            "hellow world"));

    ASSERT_TRUE(waitForRequests(recorder, kReportTarget, 3)) << child.outputText();

    const std::size_t stopFrom = child.lineCount();
    ASSERT_EQ(sendPush(agent->listenPort(), token, push("stopoverall")), 202);
    const auto stopping = child.waitForLine("entered stoping", kWait, stopFrom);
    ASSERT_TRUE(stopping) << child.outputText();
    const auto valid = child.waitForLine(
        [](std::string_view line) { return line.starts_with("valid object : "); }, kWait, *stopping);
    ASSERT_TRUE(valid);
    lines = child.lines();
    EXPECT_THAT(slice(lines, stopFrom, *stopping),
                ::testing::IsSupersetOf({std::string("stopoverall:test"), std::string("hellow world")}));
    EXPECT_THAT(lines[*stopping - 1], MatchesRegex("stop time : [0-9]+\\.0"));
    ASSERT_THAT(slice(lines, *stopping + 1, *stopping + 5),
                ElementsAre("pagename*****:home", "UsecaseName*****:login", "SrNo*****:42",
                            MatchesRegex("test cpuhash : Optional\\(\\[.*\\]\\) : [0-9]+")));
    EXPECT_EQ(lines[*valid], "valid object : true");
    // Running reports of the loop carry no names; the final one does.
    expectReports(recorder, lines, startFrom, *valid, [](const boost::json::object& report) {
        return report.contains("UsecaseName");
    }, /*remote=*/false);

    // The overall final report measures from the instant startoverall printed, not from 1970.
    const auto instant = [](const std::string& line) { return std::stod(line.substr(line.rfind(' ') + 1)); };
    const double duration = instant(lines[*stopping - 1]) - instant(lines[startFrom + 4]);
    EXPECT_GT(duration, 2000.0);
    EXPECT_LT(duration, 30000.0);
    std::size_t finals = 0;
    for (const auto& upload : requestsTo(recorder, kReportTarget)) {
        const auto report = parseObject(upload.body);
        if (!report.contains("UsecaseName")) continue;
        ++finals;
        EXPECT_EQ(number(report, "totalduration"), duration);
    }
    EXPECT_EQ(finals, 1u);
}

TEST_F(AgentTest, RefusedAndUnusablePushesPrintNothingBeyondThePayload) {
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    auto& child = agent->process();
    const std::string token = agent->deviceToken();
    const unsigned short port = agent->listenPort();
    const std::size_t from = child.lineCount();

    EXPECT_EQ(sendPush(port, otherToken(token), push("start")), 401);
    EXPECT_EQ(sendPush(port, "", push("start")), 401);
    // Delivered, but without "aps" it is not acted on.
    EXPECT_EQ(sendPush(port, token, R"({"alert":"start","srNumber":"42","usecase":"login"})"), 202);
    // Delivered, with a word that only looks like a command and a numeric SR number.
    EXPECT_EQ(sendPush(port, token, R"({"aps":{"alert":"Start"},"srNumber":42,"usecase":"login"})"), 202);

    // Pushes are handled in the order they were accepted, so once the last one is done the others are too.
    const auto last = child.waitForLine("Start:test", kWait, from);
    ASSERT_TRUE(last) << child.outputText();
    ASSERT_TRUE(child.waitForLine("hellow world", kWait, *last));
    EXPECT_THAT(slice(child.lines(), from, child.lineCount()),
                ElementsAre(AllOf(StartsWith("userinfo :"), Not(HasSubstr("aps"))), StartsWith("userinfo :"),
                            "pagename:", "srnumber : 42", "usecasename : login", "Start:test", "hellow world"));
}

TEST_F(AgentTest, StandardErrorGoesToALogFileNamedAfterTheLaunch) {
    const double launchedAfter = std::floor(nowMilliseconds() / 1000.0);
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    const double launchedBefore = std::ceil(nowMilliseconds() / 1000.0);

    std::vector<std::filesystem::path> logs;
    for (const auto& entry : std::filesystem::directory_iterator(home / "Documents")) logs.push_back(entry.path());
    ASSERT_EQ(logs.size(), 1u);
    const std::string name = logs.front().filename().string();
    std::set<std::string> launchNames;
    for (double second = launchedAfter; second <= launchedBefore; ++second) launchNames.insert(logFileName(second));
    EXPECT_THAT(launchNames, ::testing::Contains(name)) << "not the launch instant in UTC";

    // A refused push is one of our diagnostics, written after the launch moved standard error.
    EXPECT_EQ(sendPush(agent->listenPort(), otherToken(agent->deviceToken()), push("start")), 401);
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (readFile(logs.front()).find("perfagent: push rejected: 401") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const std::string log = readFile(logs.front());
    EXPECT_THAT(log, HasSubstr("perfagent: push rejected: 401"));
    // The console stays on standard output.
    EXPECT_THAT(log, AllOf(Not(HasSubstr("testworkinglog")), Not(HasSubstr("DEVICE TOKEN"))));
    EXPECT_THAT(agent->process().errorText(), Not(HasSubstr("push rejected")));
}

TEST_F(AgentTest, InterruptionRestartsTheAudioAndContinueWithoutATerminalIsForeground) {
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    auto& child = agent->process();

    std::size_t from = child.lineCount();
    ASSERT_TRUE(child.sendSignal(SIGUSR1));
    EXPECT_TRUE(child.waitForLine("play audio", kWait, from)) << child.outputText();

    from = child.lineCount();
    ASSERT_TRUE(child.sendSignal(SIGCONT));
    EXPECT_TRUE(child.waitForLine("enter foreground", kWait, from)) << child.outputText();
}

class AgentTermination : public AgentTest, public ::testing::WithParamInterface<int> {};

TEST_P(AgentTermination, SignalEndsTheAgentCleanly) {
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    auto& child = agent->process();
    const std::size_t from = child.lineCount();
    ASSERT_TRUE(child.sendSignal(GetParam()));
    EXPECT_TRUE(child.waitForLine("app terminated", kWait, from)) << child.outputText();
    shutDown(*agent, /*signalled=*/true);
}

TEST_F(AgentTest, TerminationGivesUpOnUploadsToACollectionServerThatNeverAnswers) {
    recorder.setMode(HttpRecorder::Mode::Silent);
    AgentProcess* agent = startAgent();
    ASSERT_NE(agent, nullptr);
    auto& child = agent->process();
    ASSERT_EQ(sendPush(agent->listenPort(), agent->deviceToken(), push("start")), 202);
    // A report is on its way and will never be answered (the requests time out only after a minute).
    ASSERT_TRUE(waitForRequests(recorder, kReportTarget, 1));

    ASSERT_TRUE(child.sendSignal(SIGTERM));
    EXPECT_TRUE(child.waitForLine("app terminated", kWait));
    // Well short of the requests' own timeout: the agent lets them go after a short grace.
    const auto exit = child.waitForExit(10s);
    ASSERT_TRUE(exit) << "the agent waits for the unanswered uploads";
    shutDown(*agent, /*signalled=*/true);
}

INSTANTIATE_TEST_SUITE_P(Signals, AgentTermination, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(AgentCommandLine, BadOptionsAreRefusedBeforeAnythingStarts) {
    TempDirectory scratch;
    const auto home = scratch / "home";
    for (const std::vector<std::string>& arguments : {
             std::vector<std::string>{"--listen", "nonsense"},
             std::vector<std::string>{"--collection-server", ":0"},
             std::vector<std::string>{"--bogus"},
         }) {
        auto withHome = arguments;
        withHome.insert(withHome.end(), {"--home", home.string()});
        SCOPED_TRACE(::testing::PrintToString(withHome));
        ChildProcess child(AgentProcess::binary(), withHome);
        const auto exit = runToEnd(child);
        EXPECT_EQ(exit.code, 2) << exit;
        EXPECT_THAT(child.errorText(), AllOf(StartsWith("perfagent: "), HasSubstr(arguments.front())));
        EXPECT_THAT(child.outputText(), IsEmpty());
        EXPECT_FALSE(std::filesystem::exists(home)) << "nothing is made before the options are understood";
    }
}

TEST(AgentCommandLine, HelpAndVersionPrintAndExit) {
    ChildProcess help(AgentProcess::binary(), {"--help"});
    EXPECT_TRUE(runToEnd(help).clean());
    EXPECT_THAT(help.outputText(), AllOf(StartsWith("usage: perfagent"), HasSubstr("--collection-server"),
                                         HasSubstr("--listen"), HasSubstr("--home")));
    EXPECT_THAT(help.errorText(), IsEmpty());

    ChildProcess version(AgentProcess::binary(), {"--version"});
    EXPECT_TRUE(runToEnd(version).clean());
    EXPECT_EQ(version.outputText(), "perfagent " PERFAGENT_VERSION "\n");
}

}  // namespace
}  // namespace perfagent::testing

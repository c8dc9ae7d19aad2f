#include "shell/push_endpoint.hpp"

#include "platform/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "shell/remote_command.hpp"
#include "support/fake_kernel.hpp"
#include "support/fake_run_loop.hpp"
#include "support/raw_http_client.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <tuple>

namespace perfagent {
namespace {

using testing::rawRequest;
using testing::RawHttpClient;

const std::string kToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kAuth = "Authorization: Bearer " + kToken + "\r\n";

/// The push route on a real listener; deliveries wait on a main loop that runs only when the test says.
struct PushEndpointTest : ::testing::Test {
    void SetUp() override {
        kernel.answerTaskForPid(kKernProtectionFailure);  // every process belongs to another user
        ASSERT_FALSE(server.start());
    }
    std::string raw(const std::string& headers, std::optional<std::string_view> body = {}) {
        return rawRequest(server.port(), "POST", "/remote-notification", headers, body);
    }
    unsigned push(std::string_view body, const std::string& headers = kAuth) {
        return RawHttpClient(server.port()).exchange(raw(headers, body));
    }
    std::vector<std::string> takeLines() {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    }

    struct OneProcess final : ProcessList {
        std::vector<ProcessInfo> processes() override { return {{{7, 1}, "pa-other", "pa-other", "ann", 4096}}; }
    } processes;
    testing::FakeKernel kernel;
    testing::FakeRunLoop loop;
    MainThreadHandoff handoff{loop, 3};
    std::vector<boost::json::object> delivered;
    std::mutex mutex;
    std::vector<std::string> lines;
    Diagnostics diagnostics{[this](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line.substr(line.find(' ') + 1));
    }};
    HttpServer server{{boost::asio::ip::make_address("127.0.0.1"), 0},
                      {pushRoute(kToken, handoff, [this](const boost::json::object& o) { delivered.push_back(o); },
                                  pushTargetCheck(&processes, kernel, std::nullopt))},
                      diagnostics};
};

TEST_F(PushEndpointTest, DeliversTokenBearingObjectsAndRefusesTheRest) {
    const std::string body = R"({"aps":{"alert":"start"},"srNumber":99.99999999999999,"usecase":"login","x":[1.5,null]})";
    EXPECT_EQ(push(body), 202u);
    EXPECT_EQ(push(std::string(kPushBodyLimit - 2, ' ') + "{}", "Authorization: bearer " + kToken + "\r\n"), 202u);
    const std::pair<std::string, std::string> cases[] = {  // the request, the status and reason logged
        {raw("", "{}"), "401 missing token"},
        {raw("Authorization: Bearer " + kToken.substr(1) + "0\r\n", "{}"), "401 wrong token"},
        {raw("Authorization: Bearer " + kToken.substr(1) + "\r\n", "{}"), "401 wrong token"},
        {raw(kAuth, std::string(kPushBodyLimit + 1, ' ')), "413 body too large"},
        {raw(kAuth, "[]"), "400 not a JSON object"},
        {raw(kAuth, ""), "400 invalid JSON"},
        {raw(kAuth, "{\"a\": \"\xff\"}"), "400 invalid JSON"},  // not UTF-8
        {raw(kAuth, std::string(R"({"a": 1})") + '\0'), "400 invalid JSON"},
        {raw(kAuth, R"({"aps":{"alert":"start"},"srNumber":1,"usecase":"u","target":"nosuch"})"),
         "422 target nosuch: no such process"},
        {raw(kAuth, R"({"aps":{"alert":"startoverall"},"srNumber":1,"usecase":"u","target":"7"})"),
         "403 target 7: pa-other (pid 7) may not be read by this user"},
        {raw(kAuth + "Host: evil.example:" + std::to_string(server.port()) + "\r\n", "{}"), "403 foreign host"},
    };
    for (const auto& [request, line] : cases) EXPECT_EQ(RawHttpClient(server.port()).exchange(request), std::stoul(line)) << line;
    loop.runUntilIdle();
    ASSERT_EQ(delivered.size(), 2u);
    // The number is the double nearest its text, not the parser's rounding of it.
    auto expected = boost::json::parse(body).as_object();
    expected["srNumber"] = 99.99999999999999;
    EXPECT_EQ(delivered[0], expected);
    EXPECT_TRUE(delivered[1].empty());
    const auto logged = takeLines();
    for (const auto& [request, line] : cases) EXPECT_THAT(logged, ::testing::Contains("perfagent: push rejected: " + line + "\n"));
}

TEST_F(PushEndpointTest, AHeldUpMainThreadGets503AndNothingAfterClose) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(push("{}"), 202u);
    EXPECT_EQ(push("{}"), 503u);  // nothing more waits for the main thread
    handoff.close();              // the agent stopping: what waits is dropped
    loop.runUntilIdle();
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: push rejected: 503 agent busy\n"});
}

TEST(RemoteCommand, ReadsTheCommandAndNamesOrSaysWhichKeyIsMissing) {
    std::string why;
    const auto stop =
        boost::json::parse(R"({"aps": {"alert": "stop"}, "srNumber": 42, "usecase": " Log In ", "pagename": "home"})");
    auto command = parseRemoteCommand(stop.as_object(), why);
    ASSERT_TRUE(command);
    EXPECT_EQ(pushDecision(stop.as_object()), R"({"action":"stop"})");
    // A number reads as its digits; nothing is trimmed.
    EXPECT_EQ(std::tie(command->command, command->srNumber, command->usecase, command->pagename),
              std::tie("stop", "42", " Log In ", "home"));

    const std::pair<const char*, const char*> cases[] = {
        {R"({"srNumber": "1", "usecase": "u"})", "no \"aps\""},
        {R"({"aps": "start", "srNumber": "1", "usecase": "u"})", "\"aps\" is not an object"},
        {R"({"aps": {"title": "start"}, "srNumber": "1", "usecase": "u"})", "no \"alert\" in \"aps\""},
        {R"({"aps": {"alert": "start"}, "srnumber": "1", "usecase": "u"})", "no \"srNumber\""},
        {R"({"aps": {"alert": "start"}, "srNumber": "1"})", "no \"usecase\""},
    };
    for (const auto& [json, reason] : cases) {
        const auto userInfo = boost::json::parse(json).as_object();
        EXPECT_FALSE(parseRemoteCommand(userInfo, why)) << json;
        EXPECT_EQ(why, reason);
        // The push's answer names the same reason.
        EXPECT_EQ(boost::json::parse(pushDecision(userInfo)),
                  (boost::json::object{{"action", "none"}, {"reason", reason}}));
    }
}

TEST(RemoteCommand, ValueTextForms) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"a \\\"b\\\"\"", "a \"b\""}, {"-7", "-7"}, {"18446744073709551615", "18446744073709551615"},
        {"42.0", "42"}, {"1e20", "100000000000000000000"}, {"4.5", "4.5"}, {"true", "true"}, {"null", "<null>"},
        {R"({"k": [1, "x"]})", R"(["k": [1, "x"]])"}, {"99.99999999999999", "99.99999999999999"},
        {"0.30000000000000004", "0.30000000000000004"},
    };
    boost::system::error_code ec;  // as pushes are parsed
    for (const auto& [json, text] : cases) EXPECT_EQ(payloadValueText(parseJsonExactly(json, ec)), text) << json;
    EXPECT_EQ(payloadValueText(boost::json::parse("1e308")).size(), 309u);
}


}  // namespace
}  // namespace perfagent

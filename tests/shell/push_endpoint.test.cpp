#include "shell/push_endpoint.hpp"

#include "http/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "shell/remote_command.hpp"
#include "support/fake_shell.hpp"
#include "support/raw_http_client.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace perfagent {
namespace {

const std::string kToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kAuth = "Authorization: Bearer " + kToken + "\r\n";

// The push route on a real listener; deliveries wait on a main loop that runs only when the test says.
TEST(PushEndpoint, DeliversTokenBearingObjectsAndRefusesTheRestOrWhenTheMainThreadIsHeldUp) {
    testing::FakeShell shell;  // its console: diagnostics without their time stamp
    testing::FixedProcesses processes;
    processes.running = {{{7, 1}, "pa-other", "pa-other", "ann", 4096}};
    shell.proc.answerOpen(EACCES);  // every process belongs to another user
    MainThreadHandoff handoff{shell.loop, 3};
    std::vector<PushCommand> delivered;
    Diagnostics diagnostics{[&](std::string_view line) { shell.console.println(line.substr(line.find(' ') + 1)); }};
    TargetResolver targets(&processes, shell.proc, std::nullopt);
    HttpServer server{{boost::asio::ip::make_address("127.0.0.1"), 0},
                      {pushRoute(kToken, handoff, [&](const PushCommand& c) { return delivered.push_back(c), std::string(); }, targets)},
                      diagnostics};
    ASSERT_TRUE(server.start());
    const auto raw = [&](const std::string& headers, std::optional<std::string_view> body) {
        return testing::rawRequest(server.port(), "POST", "/remote-notification", headers, body);
    };
    const auto send = [&](const std::string& request) { return testing::RawHttpClient(server.port()).exchange(request); };
    const auto push = [&](std::string_view body, const std::string& headers = kAuth) { return send(raw(headers, body)); };

    const std::string body = R"({"aps":{"alert":"start"},"srNumber":99.99999999999999,"usecase":"login","x":[1.5,null]})";
    EXPECT_EQ(push(body), 202u);
    EXPECT_EQ(push(std::string(kPushBodyLimit - 2, ' ') + "{}", "Authorization: bearer " + kToken + "\r\n"), 202u);
    const std::pair<std::string, std::string> cases[] = {  // the request, the status and reason logged
        {raw("", "{}"), "401 missing token"},
        {raw("Authorization: Xearer " + kToken + "\r\n", "{}"), "401 missing token"},
        {raw("Authorization: Bearer 1" + kToken.substr(1) + "\r\n", "{}"), "401 wrong token"},  // one bit apart
        {raw("Authorization: Bearer " + kToken.substr(1) + "\r\n", "{}"), "401 wrong token"},
        {raw(kAuth, std::string(kPushBodyLimit + 1, ' ')), "413 body too large"},
        {raw(kAuth, "[]"), "400 not a JSON object"}, {raw(kAuth, ""), "400 invalid JSON"},
        {raw(kAuth, "{\"a\": \"\xff\"}"), "400 invalid JSON"},  // not UTF-8
        {raw(kAuth, std::string(R"({"a": 1})") + '\0'), "400 invalid JSON"},
        {raw(kAuth, R"({"aps":{"alert":"start"},"srNumber":1,"usecase":"u","target":"nosuch"})"),
         "422 target nosuch: no such process"},
        {raw(kAuth, R"({"aps":{"alert":"startoverall"},"srNumber":1,"usecase":"u","target":"7"})"),
         "403 target 7: pa-other (pid 7) may not be read by this user"},
        {raw(kAuth + "Host: evil.example:" + std::to_string(server.port()) + "\r\n", "{}"), "403 foreign host"},
    };
    for (const auto& [request, line] : cases) EXPECT_EQ(send(request), std::stoul(line)) << line;
    shell.loop.runUntilIdle();
    ASSERT_EQ(delivered.size(), 2u);
    // The number is the double nearest its text, not the parser's rounding of it.
    EXPECT_EQ(delivered[0].echo, R"(["aps": ["alert": "start"], "srNumber": 99.99999999999999, "usecase": "login", "x": [1.5, nil]])");
    EXPECT_EQ(delivered[0].payload->srNumber, "99.99999999999999");
    EXPECT_EQ(delivered[1].echo, "[:]");
    const auto lines = shell.console.take();
    for (const auto& [request, line] : cases) EXPECT_THAT(lines, ::testing::Contains("perfagent: push rejected: " + line + "\n"));

    // A held-up main thread: once three pushes wait, the next is refused; closing drops what waits.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(push("{}"), 202u);
    EXPECT_EQ(push("{}"), 503u);
    handoff.close();
    shell.loop.runUntilIdle();
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_EQ(shell.console.take(), std::vector<std::string>{"perfagent: push rejected: 503 agent busy\n"});
}

TEST(RemoteCommand, ReadsTheCommandAndNamesOrSaysWhichKeyIsMissing) {
    const auto stop =
        boost::json::parse(R"({"aps": {"alert": "stop"}, "srNumber": 42, "usecase": " Log In ", "pagename": "home", "build": "v2"})").as_object();
    const auto command = parseRemoteCommand(stop);
    ASSERT_TRUE(command);
    // A number reads as its digits; nothing is trimmed.
    EXPECT_EQ(std::tie(command->command, command->srNumber, command->usecase, command->pagename, command->build),
              std::tie("stop", "42", " Log In ", "home", "v2"));
    const std::string longest = R"({"aps": {"alert": "stop"}, "srNumber": 1, "usecase": "u", "build": ")" + std::string(128, 'b') + "\"}";
    EXPECT_EQ(parseRemoteCommand(boost::json::parse(longest).as_object())->build.size(), 128u);
    EXPECT_FALSE(command->metrics);  // none named: the agent's own choice
    const auto metrics = parseRemoteCommand(boost::json::parse(R"({"aps": {"alert": "start"}, "srNumber": 1, "usecase": "u",
        "metrics": ["net", "app", "net"]})").as_object());
    MetricGroupSet netAndApp;
    netAndApp.add(MetricGroup::Net), netAndApp.add(MetricGroup::App);
    EXPECT_EQ(metrics->metrics, netAndApp);
    EXPECT_EQ(parseRemoteCommand(boost::json::parse(R"({"aps": {"alert": "start"}, "srNumber": 1, "usecase": "u",
        "metrics": []})").as_object())->metrics, MetricGroupSet());  // none at all, whatever the agent's choice

    const std::string tooLong = R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u", "build": ")" + std::string(129, 'b') + "\"}";
    const std::pair<const char*, const char*> cases[] = {
        {R"({"srNumber": "1", "usecase": "u"})", "no \"aps\""},
        {R"({"aps": "start", "srNumber": "1", "usecase": "u"})", "\"aps\" is not an object"},
        {R"({"aps": {"title": "start"}, "srNumber": "1", "usecase": "u"})", "no \"alert\" in \"aps\""},
        {R"({"aps": {"alert": "start"}, "srnumber": "1", "usecase": "u"})", "no \"srNumber\""},
        {R"({"aps": {"alert": "start"}, "srNumber": "1"})", "no \"usecase\""},
        {R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u", "build": 7})", "\"build\" is not a text of at most 128 bytes"},
        {tooLong.c_str(), "\"build\" is not a text of at most 128 bytes"},
        // A mark needs its label only, a label as the markers take it.
        {R"({"aps": {"alert": "mark"}, "srNumber": "1", "usecase": "u"})", "no \"label\" text"},
        {R"({"aps": {"alert": "mark"}, "label": ""})", "the label is empty"},
        {R"({"aps": {"alert": "mark"}, "label": "a\u0000b"})", "the label holds a control character"},
        {R"({"aps": {"alert": "mark"}, "label": "tab\there"})", "the label holds a control character"},
        {R"({"aps": {"alert": "mark"}, "label": "c1\u0085"})", "the label holds a control character"},
        {R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u", "metrics": "net"})",
         "\"metrics\" is not a list of metric groups (memory, load, net, disk, thermal, power, gpu, app)"},
        {R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u", "metrics": ["net", "cpu"]})",
         "\"metrics\": 'cpu' is not a metric group (groups: memory, load, net, disk, thermal, power, gpu, app)"},
        {R"({"aps": {"alert": "start"}, "srNumber": "1", "usecase": "u", "metrics": [7]})",
         "\"metrics\": '7' is not a metric group (groups: memory, load, net, disk, thermal, power, gpu, app)"},
    };
    const std::string mark = R"({"aps": {"alert": "mark"}, "label": ")" + std::string(126, 'm') + "\u00b7\"}";
    EXPECT_EQ(parseRemoteCommand(boost::json::parse(mark).as_object())->label.size(), 128u);
    const std::string longer = R"({"aps": {"alert": "mark"}, "label": ")" + std::string(129, 'm') + "\"}";
    EXPECT_EQ(parseRemoteCommand(boost::json::parse(longer).as_object()).error().message,
              "the label is longer than 128 bytes");
    EXPECT_EQ(markAnswer({"push", "page"}, {{"overall", "full"}}),
              R"({"action":"mark","measurements":["push","page"],"refused":{"overall":"full"}})");
    EXPECT_EQ(markAnswer({}, {}), R"({"action":"none","reason":"no measurement running"})");
    // The push's answer names the reason parseRemoteCommand gives.
    testing::FakeShell shell;
    TargetResolver targets(nullptr, shell.proc, std::nullopt);
    for (const auto& [json, reason] : cases)
        EXPECT_EQ(boost::json::parse(pushDecision(*readPush(boost::json::parse(json).as_object(), targets))),
                  (boost::json::object{{"action", "none"}, {"reason", reason}})) << json;
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

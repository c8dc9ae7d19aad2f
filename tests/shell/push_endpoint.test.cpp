#include "shell/push_endpoint.hpp"

#include "platform/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "support/fake_kernel.hpp"
#include "support/fake_run_loop.hpp"
#include "support/raw_http_client.hpp"

#include <boost/json/parse.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

namespace perfagent {
namespace {

using testing::rawRequest;
using testing::RawHttpClient;

const std::string kToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kAuth = "Authorization: Bearer " + kToken + "\r\n";

// The push route on a real listener; deliveries wait on a main loop that runs only when the test says.
TEST(PushEndpoint, DeliversTokenBearingObjectsAndRefusesTheRestOrWhenTheMainThreadIsHeldUp) {
    struct OneProcess final : ProcessList {
        std::vector<ProcessInfo> processes() override { return {{{7, 1}, "pa-other", "pa-other", "ann", 4096}}; }
    } processes;
    testing::FakeKernel kernel;
    kernel.answerTaskForPid(kKernProtectionFailure);  // every process belongs to another user
    testing::FakeRunLoop loop;
    MainThreadHandoff handoff{loop, 3};
    std::vector<boost::json::object> delivered;
    std::mutex mutex;
    std::vector<std::string> lines;
    Diagnostics diagnostics{[&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line.substr(line.find(' ') + 1));
    }};
    HttpServer server{{boost::asio::ip::make_address("127.0.0.1"), 0},
                      {pushRoute(kToken, handoff, [&](const boost::json::object& o) { delivered.push_back(o); },
                                  pushTargetCheck(&processes, kernel, std::nullopt))},
                      diagnostics};
    ASSERT_FALSE(server.start());
    const auto raw = [&](const std::string& headers, std::optional<std::string_view> body) {
        return rawRequest(server.port(), "POST", "/remote-notification", headers, body);
    };
    const auto push = [&](std::string_view body, const std::string& headers = kAuth) {
        return RawHttpClient(server.port()).exchange(raw(headers, body));
    };
    const auto takeLines = [&] {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    };

    const std::string body = R"({"aps":{"alert":"start"},"srNumber":99.99999999999999,"usecase":"login","x":[1.5,null]})";
    EXPECT_EQ(push(body), 202u);
    EXPECT_EQ(push(std::string(kPushBodyLimit - 2, ' ') + "{}", "Authorization: bearer " + kToken + "\r\n"), 202u);
    const std::pair<std::string, std::string> cases[] = {  // the request, the status and reason logged
        {raw("", "{}"), "401 missing token"},
        {raw("Authorization: Bearer 1" + kToken.substr(1) + "\r\n", "{}"), "401 wrong token"},  // one bit apart
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

    // A held-up main thread: once three pushes wait, the next is refused; closing drops what waits.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(push("{}"), 202u);
    EXPECT_EQ(push("{}"), 503u);
    handoff.close();
    loop.runUntilIdle();
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: push rejected: 503 agent busy\n"});
}

}  // namespace
}  // namespace perfagent

#include "shell/push_endpoint.hpp"

#include "platform/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "shell/remote_command.hpp"
#include "support/fake_kernel.hpp"
#include "support/fake_run_loop.hpp"
#include "support/raw_http_client.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace perfagent {
namespace {

using testing::rawRequest;
using testing::RawHttpClient;

const std::string kToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

/// The push route on a real listener; deliveries wait on a main loop that runs only when the test says.
class PushEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        kernel_.answerTaskForPid(kKernProtectionFailure);  // every process belongs to another user
        std::vector<HttpRoute> routes{pushRoute(
            kToken, handoff_, [this](const boost::json::object& userInfo) { delivered_.push_back(userInfo); },
            pushTargetCheck(&processes_, kernel_, std::nullopt))};
        server_ = std::make_unique<HttpServer>(boost::asio::ip::tcp::endpoint{boost::asio::ip::make_address("127.0.0.1"), 0},
                                               std::move(routes), diagnostics_);
        ASSERT_FALSE(server_->start());
    }
    std::string raw(const std::string& headers, std::optional<std::string_view> body = {}) {
        return rawRequest(server_->port(), "POST", "/remote-notification", headers, body);
    }
    unsigned push(std::string_view body, const std::string& headers = "Authorization: Bearer " + kToken + "\r\n") {
        return RawHttpClient(server_->port()).exchange(raw(headers, body));
    }

    std::vector<std::string> takeLines() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

    struct OneProcess final : ProcessList {
        std::vector<ProcessInfo> processes() override { return {{{7, 1}, "pa-other", "pa-other", "ann", 4096}}; }
    } processes_;
    testing::FakeKernel kernel_;
    testing::FakeRunLoop loop_;
    MainThreadHandoff handoff_{loop_, 3};
    std::vector<boost::json::object> delivered_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    Diagnostics diagnostics_{[this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line.substr(line.find(' ') + 1));
    }};
    std::unique_ptr<HttpServer> server_;
};

TEST_F(PushEndpointTest, DeliversTokenBearingObjectsAndRefusesTheRest) {
    const std::string body = R"({"aps":{"alert":"start"},"srNumber":99.99999999999999,"usecase":"login","x":[1.5,null]})";
    EXPECT_EQ(push(body), 202u);
    EXPECT_EQ(push(std::string(kPushBodyLimit - 2, ' ') + "{}", "Authorization: bearer " + kToken + "\r\n"), 202u);
    const std::string auth = "Authorization: Bearer " + kToken + "\r\n", chunked = auth + "Transfer-Encoding: chunked\r\n";
    const struct {
        std::string raw;
        std::string line;
    } cases[] = {
        {raw("", "{}"), "401 missing token"},
        {raw("Authorization: Bearer " + kToken.substr(1) + "0\r\n", "{}"), "401 wrong token"},
        {raw("Authorization: Bearer " + kToken.substr(1) + "\r\n", "{}"), "401 wrong token"},
        {raw(chunked) + "1001\r\n" + std::string(kPushBodyLimit + 1, ' ') + "\r\n0\r\n\r\n", "413 body too large"},
        {raw(auth, std::string(kPushBodyLimit + 1, ' ')), "413 body too large"},
        {raw(chunked) + "2\r\n[]\r\n0\r\n\r\n", "400 not a JSON object"},
        {raw(auth, "null"), "400 not a JSON object"},
        {raw(auth, ""), "400 invalid JSON"},
        {raw(auth, R"({"a": 1} x)"), "400 invalid JSON"},
        {raw(auth, "{\"a\": \"\xff\"}"), "400 invalid JSON"},  // not UTF-8
        {raw(auth, std::string(R"({"a": 1})") + '\0'), "400 invalid JSON"},
        {raw(auth, R"({"aps":{"alert":"start"},"srNumber":1,"usecase":"u","target":"nosuch"})"),
         "422 target nosuch: no such process"},
        {raw(auth, R"({"aps":{"alert":"startoverall"},"srNumber":1,"usecase":"u","target":"7"})"),
         "403 target 7: pa-other (pid 7) may not be read by this user"},
        {raw("Authorization: Bearer " + kToken + "\r\nHost: evil.example:" + std::to_string(server_->port()) + "\r\n", "{}"),
         "403 foreign host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(RawHttpClient(server_->port()).exchange(c.raw), std::stoul(c.line));
    }
    loop_.runUntilIdle();
    ASSERT_EQ(delivered_.size(), 2u);
    // The number is the double nearest its text, not the parser's rounding of it.
    EXPECT_EQ(delivered_[0].at("srNumber").as_double(), 99.99999999999999);
    boost::json::object expected = boost::json::parse(body).as_object();
    expected["srNumber"] = 99.99999999999999;
    EXPECT_EQ(delivered_[0], expected);
    EXPECT_TRUE(delivered_[1].empty());
    const auto lines = takeLines();
    for (const auto& c : cases)
        EXPECT_NE(std::find(lines.begin(), lines.end(), "perfagent: push rejected: " + c.line + "\n"), lines.end()) << c.line;
}

TEST_F(PushEndpointTest, AHeldUpMainThreadGets503AndNothingAfterClose) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(push("{}"), 202u);
    EXPECT_EQ(push("{}"), 503u);  // nothing more waits for the main thread
    handoff_.close();             // the agent stopping: what waits is dropped
    loop_.runUntilIdle();
    EXPECT_TRUE(delivered_.empty());
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: push rejected: 503 agent busy\n"});
}

}  // namespace
}  // namespace perfagent

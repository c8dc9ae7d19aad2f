#include "platform/http_server.hpp"
#include "support/raw_http_client.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using testing::RawHttpClient;
using testing::rawRequest;

/// A server with an echo route, a named route that refuses, and routes that answer later or never.
class HttpServerTest : public ::testing::Test {
protected:
    unsigned short start(HttpServerLimits limits = {}) {
        std::vector<HttpRoute> routes;
        routes.push_back({.method = "POST", .path = "/echo", .bodyLimit = 16, .ownHostOnly = true,
                          .handle = [](HttpServerRequest&& request, HttpResponder responder) {
                              responder.answer({.body = request.method + " " + request.target + " " + request.body});
                          }});
        routes.push_back({.method = "GET", .path = "/refuse", .name = "probe",
                          .admit = [](const HttpServerRequest&) { return HttpRefusal{401, "no"}; }});
        routes.push_back({.method = "GET", .path = "/later/", .prefix = true,
                          .handle = [this](HttpServerRequest&& request, HttpResponder responder) {
                              if (request.path() == "/later/drop") return;  // answers 503 by itself
                              std::lock_guard lock(mutex_);
                              held_.push_back(responder);
                          }});
        server_ = std::make_unique<HttpServer>(boost::asio::ip::tcp::endpoint{boost::asio::ip::make_address("127.0.0.1"), 0},
                                               std::move(routes), diagnostics_, "perfagent", limits);
        EXPECT_FALSE(server_->start());
        return port_ = server_->port();
    }
    unsigned exchange(const std::string& raw) { return RawHttpClient(port_).exchange(raw); }
    std::string get(std::string_view target, std::string_view headers = {}) { return rawRequest(port_, "GET", target, headers); }
    std::string post(std::string_view headers = {}) { return rawRequest(port_, "POST", "/echo", headers, ""); }
    bool held(std::size_t count) {  // true once `count` requests wait for their answers, false after 10 s
        for (const auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(1ms))
            if (std::lock_guard lock(mutex_); held_.size() == count) return true;
        return false;
    }
    std::vector<std::string> takeLines() { std::lock_guard lock(mutex_); return std::exchange(lines_, {}); }

    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<HttpResponder> held_;
    Diagnostics diagnostics_{[this](std::string_view line) {  // kept without the timestamp and newline
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line.substr(line.find(' ') + 1, line.size() - line.find(' ') - 2));
    }};
    std::unique_ptr<HttpServer> server_;
    unsigned short port_ = 0;
};

TEST_F(HttpServerTest, RoutesCapsAndHostCheck) {
    const auto port = std::to_string(start());
    const std::string chunked = "Transfer-Encoding: chunked\r\n";
    const std::pair<std::string, unsigned> cases[] = {
        {post("Host: LocalHost:" + port + "\r\n"), 200},
        {rawRequest(port_, "POST", "/echo", {}, "0123456789abcdefg"), 413},
        {rawRequest(port_, "POST", "/echo", chunked) + "11\r\n0123456789abcdefg\r\n0\r\n\r\n", 413},
        {get("/", "X-Filler: " + std::string(9000, 'a') + "\r\n"), 431}, {"GARBAGE\r\n\r\n", 400}, {get("/echo/x"), 404},
        // A name rebound to this machine, another port, another address, no port (80), no Host at all.
        {post("Host: evil.example:" + port + "\r\n"), 403}, {post("Host: 127.0.0.1:1\r\n"), 403},
        {post("Host: [::1]:" + port + "\r\n"), 403}, {post("Host: 127.0.0.1\r\n"), 403},
        {"POST /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 403}, {get("/refuse"), 401},
        {post("Host: 127.0.0.1:" + port + "\r\nHost: evil.example:" + port + "\r\n"), 400},  // which one counts?
        {get("/refuse"), 401},
    };
    for (const auto& [raw, status] : cases) EXPECT_EQ(exchange(raw), status) << raw.substr(0, 80);
    RawHttpClient client(port_);
    RawHttpClient::Response echo, wrong;
    EXPECT_EQ(client.exchange(rawRequest(port_, "POST", "/echo?x", {}, "0123456789abcdef"), &echo), 200u);  // at the body limit
    EXPECT_EQ(echo.body(), "POST /echo?x 0123456789abcdef");
    EXPECT_EQ(client.exchange(get("/echo"), &wrong), 405u);
    EXPECT_EQ(wrong[boost::beast::http::field::allow], "POST");
    // Refusals of a named route are logged, a repeated one once.
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: probe rejected: 401 no"});
}

TEST_F(HttpServerTest, AtTheCapClosedConnectionsFreedAtOnceIdleOnesMakeRoomBusyOnesDoNot) {
    start({.requestTimeout = 60s, .maxConnections = 2});
    // Each leaves in the middle of a request (not idle, so nothing could evict it).
    for (int i = 0; i < 50; ++i) {
        RawHttpClient(port_).send("GET / HTTP/1.1\r\n");
        ASSERT_EQ(exchange(post()), 200u) << i;
    }
    RawHttpClient first(port_), second(port_);
    ASSERT_EQ(first.exchange(post()), 200u);  // both kept open, idle
    ASSERT_EQ(second.exchange(post()), 200u);
    RawHttpClient third(port_);
    EXPECT_EQ(third.exchange(post()), 200u);
    EXPECT_TRUE(first.closedByServer());  // the one idle longest
    EXPECT_EQ(second.exchange(post()), 200u);

    second.send(get("/later/1"));  // both busy now
    third.send(get("/later/2"));
    ASSERT_TRUE(held(2));
    EXPECT_TRUE(RawHttpClient(port_).closedByServer());
    EXPECT_TRUE(RawHttpClient(port_).closedByServer());
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: connection limit of 2 reached; closing new connections"});
    held_.clear();
}

TEST_F(HttpServerTest, ConnectionsKeptOrClosedAsTheClientAsks) {
    start();
    const struct { std::string_view version, headers, connection; bool kept; } cases[] = {
        {"1.0", "Connection: keep-alive\r\n", "keep-alive", true}, {"1.0", "", "", false},
        {"1.1", "", "", true}, {"1.1", "Connection: close\r\n", "close", false},
    };
    for (const auto& c : cases) {
        RawHttpClient client(port_);
        RawHttpClient::Response response;
        const std::string raw = rawRequest(port_, "POST", "/echo", c.headers, "", c.version);
        ASSERT_EQ(client.exchange(raw, &response), 200u) << raw;
        EXPECT_EQ(std::tuple(response.version(), std::string(response[boost::beast::http::field::connection])),
                  std::tuple(c.version == "1.0" ? 10u : 11u, c.connection)) << raw;
        EXPECT_TRUE(c.kept ? client.exchange(raw) == 200u : client.closedByServer()) << raw;
    }
}

TEST_F(HttpServerTest, LateAnswersFromAnyThreadAndDeadlines) {
    start({.requestTimeout = 300ms});
    RawHttpClient later(port_), never(port_), silent(port_), halfway(port_);
    later.send(get("/later/1"));
    ASSERT_TRUE(held(1));
    never.send(get("/later/2"));
    halfway.send(rawRequest(port_, "POST", "/echo", {}, "abc").substr(0, 40));  // the rest never arrives
    EXPECT_EQ(exchange(get("/later/drop")), 503u);
    ASSERT_TRUE(held(2));
    std::thread([&] { held_[0].answer({.status = 201, .body = "done"}); }).join();
    held_[0].answer({.status = 500});  // the first answer wins
    RawHttpClient::Response response;
    EXPECT_EQ(later.receive(&response), 201u);
    EXPECT_EQ(response.body(), "done");
    EXPECT_EQ(never.receive(), 0u);  // closed at the deadline
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(halfway.closedByServer());
    held_.clear();
}

}  // namespace
}  // namespace perfagent

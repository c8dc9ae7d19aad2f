#include "http/http_server.hpp"
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
        routes.push_back({.method = "POST", .path = "/sink", .bodyLimit = 1024,
                          .handle = [](HttpServerRequest&& request, HttpResponder responder) {
                              responder.answer({.body = std::to_string(request.body.size())});
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
        EXPECT_TRUE(server_->start());
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
    // A transfer coding other than chunked alone is not framed as sent: refused, and nothing after it is read.
    for (const std::string coding : {"gzip", "xchunked", "gzip, chunked"}) {
        RawHttpClient client(port_);
        const std::string raw = rawRequest(port_, "POST", "/sink", "Transfer-Encoding: " + coding + "\r\n");
        EXPECT_EQ(client.exchange(raw + "5\r\nhello\r\n0\r\n\r\n" + get("/later/drop")), 501u) << coding;
        EXPECT_TRUE(client.closedByServer()) << coding;
    }
    RawHttpClient client(port_);
    RawHttpClient::Response echo, wrong;
    EXPECT_EQ(client.exchange(rawRequest(port_, "POST", "/echo?x", {}, "0123456789abcdef"), &echo), 200u);  // at the body limit
    EXPECT_EQ(echo.body(), "POST /echo?x 0123456789abcdef");
    EXPECT_EQ(client.exchange(get("/echo"), &wrong), 405u);
    EXPECT_EQ(wrong[boost::beast::http::field::allow], "POST");
    // Refusals of a named route are logged, a repeated one once.
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: probe rejected: 401 no"});
}

TEST_F(HttpServerTest, AtTheCapTheOldestIdleOrIncompleteConnectionMakesRoomBusyOnesDoNot) {
    start({.requestTimeout = 60s, .headerTimeout = 60s, .maxConnections = 3});
    // Each leaves in the middle of a request: closed connections free their slots at once.
    for (int i = 0; i < 50; ++i) {
        RawHttpClient(port_).send("GET / HTTP/1.1\r\n");
        ASSERT_EQ(exchange(post()), 200u) << i;
    }
    RawHttpClient first(port_), second(port_), third(port_);
    first.send("GET / HTTP/1.1\r\n");  // stalls in its header
    ASSERT_EQ(second.exchange(post()), 200u);  // idle after its answer
    third.send(rawRequest(port_, "POST", "/sink", {}, "0123456789").substr(0, 70));  // stalls in its body
    std::vector<std::unique_ptr<RawHttpClient>> fresh;  // kept open: each takes a slot
    for (RawHttpClient* evicted : {&first, &second, &third}) {  // oldest first, whatever it waits for
        fresh.push_back(std::make_unique<RawHttpClient>(port_));
        EXPECT_EQ(fresh.back()->exchange(post()), 200u) << fresh.size();
        EXPECT_TRUE(evicted->closedByServer()) << fresh.size();
    }

    RawHttpClient busy[3] = {RawHttpClient(port_), RawHttpClient(port_), RawHttpClient(port_)};
    for (int i = 0; i < 3; ++i) busy[i].send(get("/later/" + std::to_string(i)));
    ASSERT_TRUE(held(3));
    EXPECT_TRUE(RawHttpClient(port_).closedByServer());
    EXPECT_TRUE(RawHttpClient(port_).closedByServer());
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: connection limit of 3 reached; closing new connections"});
    held_.clear();
}

TEST_F(HttpServerTest, SlowHeadersAndBodiesAreCutLongBeforeTheRequestDeadline) {
    start({.requestTimeout = 60s, .headerTimeout = 200ms, .minBodyRate = 1000});
    RawHttpClient header(port_), body(port_), idle(port_);
    header.send("GET / HTTP/1.1\r\nX-Slow: ");
    body.send(rawRequest(port_, "POST", "/sink", {}, std::string(1000, 'a')).substr(0, 100));
    // Closed within the client's 10 s bound although the request may take 60 s; an idle one is kept.
    EXPECT_TRUE(header.closedByServer());
    EXPECT_TRUE(body.closedByServer());
    EXPECT_EQ(idle.exchange(post()), 200u);
}

TEST_F(HttpServerTest, BodiesHeldAtOnceAreBoundedAcrossConnections) {
    start({.bodyBudget = 900});
    RawHttpClient holding(port_);
    const std::string body(600, 'a');
    const std::string whole = rawRequest(port_, "POST", "/sink", {}, body);
    holding.send(whole.substr(0, whole.size() - 100));  // 600 declared, 500 of them sent
    const std::string chunk = "Transfer-Encoding: chunked\r\n";
    const std::string chunked = rawRequest(port_, "POST", "/sink", chunk) + "1f4\r\n" + std::string(500, 'b') + "\r\n0\r\n\r\n";
    for (const std::string& raw : {whole, chunked}) {
        RawHttpClient other(port_);
        RawHttpClient::Response refused;
        EXPECT_EQ(other.exchange(raw, &refused), 503u);
        EXPECT_EQ(refused.body(), "busy: too many request bodies at once\n");
    }
    RawHttpClient::Response answered;
    holding.send(whole.substr(whole.size() - 100));
    ASSERT_EQ(holding.receive(&answered), 200u);
    EXPECT_EQ(answered.body(), "600");
    EXPECT_EQ(exchange(chunked), 200u);  // the bytes held are given back
    EXPECT_EQ(exchange(whole), 200u);
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

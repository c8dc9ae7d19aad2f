#include "platform/asio_run_loop.hpp"
#include "platform/http_listener.hpp"
#include "support/fake_run_loop.hpp"

#include <boost/asio/write.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace std::chrono_literals;

const std::string kToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kPage = "<!doctype html><title>screen</title><p>fields</p>";

class RecordingHandler final : public ListenerHandler {
public:
    void didReceiveRemoteNotification(const boost::json::object& userInfo) override {
        record([&] { pushes.push_back(userInfo); });
    }
    ScreenFields screenFields() override {
        ScreenFields answer;
        record([&] { answer = fields; });
        return answer;
    }
    void screenStart(std::string useCaseName, std::string srNumber) override {
        record([&] { starts.push_back({useCaseName, srNumber}); });
    }
    void screenStop() override {
        record([&] { ++stops; });
    }
    template <typename F>
    void record(F f) {
        std::lock_guard lock(mutex);
        if (mainThread != std::thread::id{} && std::this_thread::get_id() != mainThread) ++offMainCalls;
        f();
    }
    std::size_t deliveries() {
        std::lock_guard lock(mutex);
        return pushes.size() + starts.size() + stops;
    }

    std::mutex mutex;
    std::thread::id mainThread;
    int offMainCalls = 0;
    ScreenFields fields;
    std::vector<boost::json::object> pushes;
    std::vector<std::pair<std::string, std::string>> starts;
    int stops = 0;
};

/// A reply as the client saw it; status 0 when the connection ended without one.
struct Reply {
    unsigned status = 0;
    http::response<http::string_body> message;
};

/// A blocking client on its own io_context; every step gives up after a generous bound.
class Client {
public:
    explicit Client(unsigned short port) : stream_(io_) {
        stream_.expires_after(10s);
        stream_.async_connect({asio::ip::make_address("127.0.0.1"), port}, [](beast::error_code) {});
        run();
    }
    void send(const std::string& raw) {
        stream_.expires_after(10s);
        asio::async_write(stream_, asio::buffer(raw), [](beast::error_code, std::size_t) {});
        run();
    }
    Reply receive() {
        Reply reply;
        http::response_parser<http::string_body> parser;
        beast::error_code result;
        stream_.expires_after(10s);
        http::async_read(stream_, buffer_, parser, [&](beast::error_code ec, std::size_t) { result = ec; });
        run();
        if (result) return reply;
        reply.message = parser.release();
        reply.status = reply.message.result_int();
        return reply;
    }
    Reply exchange(const std::string& raw) {
        send(raw);
        return receive();
    }
    /// True when the server ends the connection (rather than the bound running out).
    bool closedByServer() {
        char byte;
        beast::error_code result;
        stream_.expires_after(10s);
        stream_.async_read_some(asio::buffer(&byte, 1), [&](beast::error_code ec, std::size_t) { result = ec; });
        run();
        return result == asio::error::eof || result == asio::error::connection_reset;
    }

private:
    void run() {
        io_.restart();
        io_.run();
    }
    asio::io_context io_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
};

std::string request(std::string_view method, std::string_view target, std::string_view headers = {},
                    std::optional<std::string_view> body = {}) {
    std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\n";
    if (headers.find("Host:") == std::string_view::npos) text += "Host: 127.0.0.1\r\n";
    text += headers;
    if (body) text += "Content-Length: " + std::to_string(body->size()) + "\r\n";
    return text + "\r\n" + std::string(body.value_or(""));
}

std::string push(std::string_view body, const std::string& authorization = "Bearer " + kToken) {
    const std::string header = authorization.empty() ? "" : "Authorization: " + std::string(authorization) + "\r\n";
    return request("POST", "/remote-notification", header, body);
}

std::string jsonPost(std::string_view target, std::string_view body, std::string_view extraHeaders = {}) {
    return request("POST", target, "Content-Type: application/json\r\n" + std::string(extraHeaders), body);
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        mainThread_ = std::thread([this] { loop_.run(); });
        handler_.mainThread = mainThread_.get_id();
    }
    void TearDown() override {
        if (listener_) listener_->stop();
        loop_.async([this] { loop_.stop(); });
        mainThread_.join();
        EXPECT_EQ(handler_.offMainCalls, 0) << "the handler was called off the main thread";
    }
    unsigned short start(HttpListenerLimits limits = {}) {
        listener_ = std::make_unique<HttpListener>(
            asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), loop_, kToken, kPage, handler_,
            [this](std::string_view line) {
                std::lock_guard lock(linesMutex_);
                lines_.emplace_back(line);
            },
            limits);
        EXPECT_FALSE(listener_->start());
        return listener_->port();
    }
    Reply exchange(const std::string& raw) { return Client(listener_->port()).exchange(raw); }
    /// Waits until everything posted to the main queue so far has run.
    void drainMainQueue() {
        std::promise<void> done;
        loop_.async([&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    }
    std::vector<std::string> takeLines() {
        std::lock_guard lock(linesMutex_);
        return std::exchange(lines_, {});
    }

    AsioRunLoop loop_;
    RecordingHandler handler_;
    std::thread mainThread_;
    std::unique_ptr<HttpListener> listener_;
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

TEST_F(ListenerTest, PushWithTheTokenIsDeliveredAsTheSameObject) {
    const auto port = start();
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: listening on http://127.0.0.1:" + std::to_string(port)});
    const std::string body = R"({"aps":{"alert":"start"},"srNumber":42,"usecase":"login","x":[1.5,null]})";
    EXPECT_EQ(exchange(push(body)).status, 202u);

    // A client that waits for "100 Continue" before sending the body gets it.
    Client client(port);
    client.send("POST /remote-notification HTTP/1.1\r\nHost: h\r\nAuthorization: bearer " + kToken +
                "\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
    EXPECT_EQ(client.receive().status, 100u);
    client.send("{}");
    EXPECT_EQ(client.receive().status, 202u);

    drainMainQueue();
    ASSERT_EQ(handler_.pushes.size(), 2u);
    EXPECT_EQ(handler_.pushes[0], boost::json::parse(body).as_object());
    EXPECT_TRUE(handler_.pushes[1].empty());
    EXPECT_TRUE(takeLines().empty());
}

TEST_F(ListenerTest, RefusedPushesDeliverNothingAndSayWhyOnce) {
    start();
    takeLines();
    const std::string big = R"({"pad":")" + std::string(5000, 'a') + R"("})";
    const struct {
        std::string raw;
        unsigned status;
        std::string line;
    } cases[] = {
        {push("{}", ""), 401, "401 missing token"},
        {push("{}", "Basic " + kToken), 401, "401 missing token"},
        {push("{}", "Bearer " + kToken.substr(0, 63) + "0"), 401, "401 wrong token"},
        {push("{}", "Bearer " + kToken.substr(0, 63)), 401, "401 wrong token"},
        {push("{}", "Bearer " + kToken + "0"), 401, "401 wrong token"},
        {push(big, ""), 401, "401 missing token"},
        {push(big), 413, "413 body too large"},
        {request("POST", "/remote-notification",
                 "Authorization: Bearer " + kToken + "\r\nTransfer-Encoding: chunked\r\n",
                 std::nullopt) + "1000\r\n" + std::string(4096, ' ') + "\r\n1\r\n \r\n0\r\n\r\n",
         413, "413 body too large"},
        {push("[1,2]"), 400, "400 not a JSON object"},
        {push("\"start\""), 400, "400 not a JSON object"},
        {push(R"({"aps":)"), 400, "400 invalid JSON"},
        {push(""), 400, "400 invalid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(exchange(c.raw).status, c.status);
        EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: push rejected: " + c.line});
    }
    drainMainQueue();
    EXPECT_EQ(handler_.deliveries(), 0u);
}

TEST_F(ListenerTest, PageAndFieldsAreServedOnOneConnection) {
    const auto port = start();
    {
        std::lock_guard lock(handler_.mutex);
        handler_.fields = {"log \"in\" é", "42"};
    }
    Client client(port);
    const Reply page = client.exchange(request("GET", "/"));
    EXPECT_EQ(page.status, 200u);
    EXPECT_EQ(page.message.body(), kPage);
    EXPECT_EQ(page.message[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_EQ(page.message["X-Content-Type-Options"], "nosniff");
    EXPECT_EQ(page.message[http::field::cache_control], "no-store");
    EXPECT_NE(page.message["Content-Security-Policy"].find("default-src 'none'"), std::string_view::npos);

    const Reply fields = client.exchange(request("GET", "/screen/fields"));
    EXPECT_EQ(fields.status, 200u);
    EXPECT_EQ(fields.message[http::field::content_type], "application/json");
    EXPECT_EQ(boost::json::parse(fields.message.body()),
              boost::json::parse(R"({"useCaseName":"log \"in\" é","srNumber":"42"})"));
}

TEST_F(ListenerTest, SameOriginJsonActionsReachTheScreen) {
    const std::string port = std::to_string(start());
    EXPECT_EQ(exchange(jsonPost("/screen/actions/start", R"({"useCaseName":"login","srNumber":"42","x":1})",
                                "Origin: http://127.0.0.1:" + port + "\r\n"))
                  .status,
              204u);
    EXPECT_EQ(exchange(request("POST", "/screen/actions/start", "Content-Type: Application/JSON; charset=utf-8\r\n",
                               "{}"))
                  .status,
              204u);
    // Opened at a LAN address: the Host names that address, and the Origin matches it.
    EXPECT_EQ(exchange(jsonPost("/screen/actions/stop", "{}",
                                "Host: 192.168.1.5:" + port + "\r\nOrigin: http://192.168.1.5:" + port + "\r\n"))
                  .status,
              204u);
    EXPECT_EQ(exchange(jsonPost("/screen/actions/stop", "", "Origin: http://localhost:" + port + "\r\n")).status, 204u);
    drainMainQueue();
    using Start = std::pair<std::string, std::string>;
    EXPECT_EQ(handler_.starts, (std::vector<Start>{{"login", "42"}, {"", ""}}));
    EXPECT_EQ(handler_.stops, 2);
}

TEST_F(ListenerTest, ForeignOrNonJsonActionsAreRefused) {
    const std::string port = std::to_string(start());
    const struct {
        std::string raw;
        unsigned status;
    } cases[] = {
        {jsonPost("/screen/actions/start", "{}", "Origin: http://evil.example\r\n"), 403},
        {jsonPost("/screen/actions/stop", "{}", "Origin: null\r\n"), 403},
        // A name rebound to this machine: Host and Origin agree, but a name is not taken as ours.
        {jsonPost("/screen/actions/stop", "{}",
                  "Host: evil.example:" + port + "\r\nOrigin: http://evil.example:" + port + "\r\n"),
         403},
        {request("POST", "/screen/actions/start", "Content-Type: text/plain\r\n", "{}"), 415},
        {request("POST", "/screen/actions/stop", "Content-Type: application/x-www-form-urlencoded\r\n", "a=b"), 415},
        {request("POST", "/screen/actions/stop", "", ""), 415},
        {jsonPost("/screen/actions/start", R"({"useCaseName":5})"), 400},
        {jsonPost("/screen/actions/start", R"({"srNumber":null})"), 400},
        {jsonPost("/screen/actions/start", "[]"), 400},
        {jsonPost("/screen/actions/stop", "stop"), 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(exchange(c.raw).status, c.status);
    }
    drainMainQueue();
    EXPECT_EQ(handler_.deliveries(), 0u);
}

TEST_F(ListenerTest, UnknownPathsAndWrongMethods) {
    Client client(start());
    EXPECT_EQ(client.exchange(request("GET", "/nope")).status, 404u);
    EXPECT_EQ(client.exchange(request("GET", "/screen/fields/x")).status, 404u);
    const Reply wrong = client.exchange(request("GET", "/remote-notification"));
    EXPECT_EQ(wrong.status, 405u);
    EXPECT_EQ(wrong.message[http::field::allow], "POST");
    EXPECT_EQ(client.exchange(request("POST", "/", {}, "")).status, 405u);
    EXPECT_EQ(client.exchange(request("DELETE", "/screen/fields")).status, 405u);
}

TEST_F(ListenerTest, SilentClientDoesNotHoldUpOthersAndIsDroppedAtItsDeadline) {
    const auto port = start({.requestTimeout = 300ms});
    Client silent(port);
    Client halfway(port);
    halfway.send("POST /remote-notification HTTP/1.1\r\nAuthorization: Bearer " + kToken +
                 "\r\nContent-Length: 10\r\n\r\n{");
    EXPECT_EQ(exchange(request("GET", "/")).status, 200u);
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(halfway.closedByServer());
}

TEST_F(ListenerTest, OversizeHeaderIsRefused) {
    start();
    EXPECT_EQ(exchange(request("GET", "/", "X-Filler: " + std::string(4000, 'a') + "\r\n")).status, 200u);
    EXPECT_EQ(exchange(request("GET", "/", "X-Filler: " + std::string(9000, 'a') + "\r\n")).status, 431u);
}

TEST_F(ListenerTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
    const auto port = start({.maxConnections = 2});
    takeLines();
    Client first(port), second(port);
    ASSERT_EQ(first.exchange(request("GET", "/")).status, 200u);  // both kept open and counted
    ASSERT_EQ(second.exchange(request("GET", "/")).status, 200u);
    EXPECT_TRUE(Client(port).closedByServer());
    EXPECT_TRUE(Client(port).closedByServer());
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: connection limit of 2 reached; closing new connections"});
    EXPECT_EQ(first.exchange(request("GET", "/")).status, 200u);  // the open ones are still served
}

TEST(HttpListenerWithoutMainLoop, FieldsRequestWaitsWithoutBlockingAndQueuedDeliveriesDieWithTheListener) {
    testing::FakeRunLoop loop;  // never run while the listener lives: the main thread is "busy"
    RecordingHandler handler;
    auto listener = std::make_unique<HttpListener>(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0),
                                                   loop, kToken, kPage, handler, [](std::string_view) {},
                                                   HttpListenerLimits{.requestTimeout = 300ms});
    ASSERT_FALSE(listener->start());
    Client waiting(listener->port());
    waiting.send(request("GET", "/screen/fields"));
    EXPECT_EQ(Client(listener->port()).exchange(push("{}")).status, 202u);
    EXPECT_EQ(waiting.receive().status, 0u);  // no answer before the deadline closed it

    listener.reset();
    loop.runUntilIdle();  // the fields question and the accepted push were still queued
    EXPECT_EQ(handler.deliveries(), 0u);
}

}  // namespace
}  // namespace perfagent

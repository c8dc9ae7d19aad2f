#include "platform/asio_run_loop.hpp"
#include "platform/http_listener.hpp"
#include "support/fake_run_loop.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
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

/// Records what reaches it, and counts calls made off the main thread.
class RecordingHandler final : public ListenerHandler {
public:
    template <typename F>
    auto locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
    template <typename F>
    auto record(F f) {
        return locked([&] {
            offMainCalls += mainThread != std::thread::id{} && std::this_thread::get_id() != mainThread;
            return f();
        });
    }
    void didReceiveRemoteNotification(const boost::json::object& userInfo) override {
        record([&] { pushes.push_back(userInfo); });
    }
    ScreenFields screenFields() override {
        return record([&] { return fields; });
    }
    void screenStart(std::string useCaseName, std::string srNumber) override {
        record([&] { starts.emplace_back(useCaseName, srNumber); });
    }
    void screenStop() override {
        record([&] { ++stops; });
    }
    std::size_t deliveries() { return locked([&] { return pushes.size() + starts.size() + stops; }); }

    std::mutex mutex;
    std::thread::id mainThread;
    int offMainCalls = 0;
    ScreenFields fields;
    std::vector<boost::json::object> pushes;
    std::vector<std::pair<std::string, std::string>> starts;
    std::size_t stops = 0;
};

/// A blocking loopback client; every step gives up after a generous bound.
class Client {
public:
    explicit Client(unsigned short port) : stream_(io_) {
        step([&](auto done) { stream_.async_connect({asio::ip::make_address("127.0.0.1"), port}, done); });
    }
    void send(const std::string& raw) {
        step([&](auto done) { asio::async_write(stream_, asio::buffer(raw), done); });
    }
    /// The response's status, or 0 when the connection ended without one.
    unsigned receive(http::response<http::string_body>* message = nullptr) {
        http::response_parser<http::string_body> parser;
        if (step([&](auto done) { http::async_read(stream_, buffer_, parser, done); })) return 0;
        if (message) *message = parser.get();
        return parser.get().result_int();
    }
    unsigned exchange(const std::string& raw, http::response<http::string_body>* message = nullptr) {
        send(raw);
        return receive(message);
    }
    /// True when the server ends the connection (rather than the bound running out).
    bool closedByServer() {
        char byte;
        const auto ec = step([&](auto done) { stream_.async_read_some(asio::buffer(&byte, 1), done); });
        return ec == asio::error::eof || ec == asio::error::connection_reset;
    }

private:
    template <typename Start>
    beast::error_code step(Start start) {
        beast::error_code result;
        stream_.expires_after(10s);
        start([&](beast::error_code ec, auto&&...) { result = ec; });
        io_.restart();
        io_.run();
        return result;
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
    return request("POST", "/remote-notification", authorization.empty() ? "" : "Authorization: " + authorization + "\r\n",
                   body);
}

std::string jsonPost(std::string_view target, std::string_view body, std::string_view extraHeaders = {}) {
    return request("POST", target, "Content-Type: application/json\r\n" + std::string(extraHeaders), body);
}

asio::ip::tcp::endpoint anyLoopbackPort() { return {asio::ip::make_address("127.0.0.1"), 0}; }

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
        auto sink = [this](std::string_view line) {
            std::lock_guard lock(linesMutex_);
            lines_.emplace_back(line);
        };
        listener_ = std::make_unique<HttpListener>(anyLoopbackPort(), loop_, kToken, kPage, handler_, sink, limits);
        EXPECT_FALSE(listener_->start());
        return listener_->port();
    }
    unsigned exchange(const std::string& raw) { return Client(listener_->port()).exchange(raw); }
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
    EXPECT_EQ(exchange(push(body)), 202u);
    EXPECT_EQ(exchange(push("{}", "bearer " + kToken)), 202u);  // the scheme in any letter case

    drainMainQueue();
    ASSERT_EQ(handler_.pushes.size(), 2u);
    EXPECT_EQ(handler_.pushes[0], boost::json::parse(body).as_object());
    EXPECT_TRUE(handler_.pushes[1].empty());
    EXPECT_TRUE(takeLines().empty());
}

TEST_F(ListenerTest, RefusedPushesDeliverNothingAndSayWhyOnce) {
    start();
    takeLines();
    const std::string chunked = request("POST", "/remote-notification",
                                        "Authorization: Bearer " + kToken + "\r\nTransfer-Encoding: chunked\r\n");
    const struct {
        std::string raw;
        std::string line;
    } cases[] = {
        {push("{}", ""), "401 missing token"},
        {push("{}", "Bearer " + kToken.substr(0, 63) + "0"), "401 wrong token"},
        {push("{}", "Bearer " + kToken.substr(0, 63)), "401 wrong token"},
        {push(std::string(5000, ' ')), "413 body too large"},
        {chunked + "1000\r\n" + std::string(4096, ' ') + "\r\n1\r\n \r\n0\r\n\r\n", "413 body too large"},
        {push("[1,2]"), "400 not a JSON object"},
        {push(R"({"aps":)"), "400 invalid JSON"},
        {push(""), "400 invalid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(exchange(c.raw), std::stoul(c.line));
        EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: push rejected: " + c.line});
    }
    drainMainQueue();
    EXPECT_EQ(handler_.deliveries(), 0u);
}

TEST_F(ListenerTest, PageFieldsAndWrongRoutesOnOneConnection) {
    handler_.locked([&] { handler_.fields = {"log \"in\" é", "42"}; });
    Client client(start());
    http::response<http::string_body> page, fields, wrong;
    EXPECT_EQ(client.exchange(request("GET", "/"), &page), 200u);
    EXPECT_EQ(page.body(), kPage);
    EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_EQ(page["X-Content-Type-Options"], "nosniff");
    EXPECT_EQ(page[http::field::cache_control], "no-store");
    EXPECT_NE(page["Content-Security-Policy"].find("default-src 'none'"), std::string_view::npos);

    EXPECT_EQ(client.exchange(request("GET", "/screen/fields"), &fields), 200u);
    EXPECT_EQ(fields[http::field::content_type], "application/json");
    EXPECT_EQ(boost::json::parse(fields.body()), boost::json::parse(R"({"useCaseName":"log \"in\" é","srNumber":"42"})"));

    EXPECT_EQ(client.exchange(request("GET", "/screen/fields/x")), 404u);
    EXPECT_EQ(client.exchange(request("GET", "/remote-notification"), &wrong), 405u);
    EXPECT_EQ(wrong[http::field::allow], "POST");
    EXPECT_EQ(client.exchange(request("POST", "/", {}, "")), 405u);
}

TEST_F(ListenerTest, OnlySameOriginJsonActionsReachTheScreen) {
    const std::string port = std::to_string(start());
    const struct {
        std::string raw;
        unsigned status;
    } cases[] = {
        {jsonPost("/screen/actions/start", R"({"useCaseName":"login","srNumber":"42","x":1})",
                  "Origin: http://127.0.0.1:" + port + "\r\n"),
         204},
        {request("POST", "/screen/actions/start", "Content-Type: Application/JSON; charset=utf-8\r\n", "{}"), 204},
        // Opened at a LAN address: the Host names that address and the Origin matches it.
        {jsonPost("/screen/actions/stop", "", "Host: 192.168.1.5:" + port + "\r\nOrigin: http://192.168.1.5:" + port + "\r\n"),
         204},
        {jsonPost("/screen/actions/stop", "{}", "Origin: http://localhost:" + port + "\r\n"), 204},
        {jsonPost("/screen/actions/start", "{}", "Origin: http://evil.example\r\n"), 403},
        // A name rebound to this machine: Host and Origin agree, but a name is not taken as ours.
        {jsonPost("/screen/actions/stop", "{}", "Host: evil.example:" + port + "\r\nOrigin: http://evil.example:" + port + "\r\n"),
         403},
        {request("POST", "/screen/actions/start", "Content-Type: text/plain\r\n", "{}"), 415},
        {request("POST", "/screen/actions/stop", "", ""), 415},
        {jsonPost("/screen/actions/start", R"({"useCaseName":5})"), 400},
        {jsonPost("/screen/actions/stop", "stop"), 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(exchange(c.raw), c.status);
    }
    drainMainQueue();
    using Start = std::pair<std::string, std::string>;
    EXPECT_EQ(handler_.starts, (std::vector<Start>{{"login", "42"}, {"", ""}}));
    EXPECT_EQ(handler_.stops, 2u);
}

TEST_F(ListenerTest, SlowClientsAndOversizeHeadersDoNotHoldUpOthers) {
    const auto port = start({.requestTimeout = 300ms});
    Client silent(port), halfway(port);
    const std::string partial = push(R"({"aps":{}})");
    halfway.send(partial.substr(0, partial.size() - 3));  // the rest of the body never arrives
    EXPECT_EQ(exchange(request("GET", "/", "X-Filler: " + std::string(4000, 'a') + "\r\n")), 200u);
    EXPECT_EQ(exchange(request("GET", "/", "X-Filler: " + std::string(9000, 'a') + "\r\n")), 431u);
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(halfway.closedByServer());
}

TEST_F(ListenerTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
    const auto port = start({.maxConnections = 2});
    takeLines();
    Client first(port), second(port);
    ASSERT_EQ(first.exchange(request("GET", "/")), 200u);  // both kept open and counted
    ASSERT_EQ(second.exchange(request("GET", "/")), 200u);
    EXPECT_TRUE(Client(port).closedByServer());
    EXPECT_TRUE(Client(port).closedByServer());
    EXPECT_EQ(takeLines(), std::vector<std::string>{"perfagent: connection limit of 2 reached; closing new connections"});
    EXPECT_EQ(first.exchange(request("GET", "/")), 200u);  // the open ones are still served
}

TEST(HttpListenerWithoutMainLoop, FieldsRequestWaitsWithoutBlockingAndQueuedDeliveriesEndWithStop) {
    testing::FakeRunLoop loop;  // not run while the listener lives: the main thread is "busy"
    RecordingHandler handler;
    HttpListener listener(anyLoopbackPort(), loop, kToken, kPage, handler, [](std::string_view) {},
                          HttpListenerLimits{.requestTimeout = 300ms});
    ASSERT_FALSE(listener.start());
    Client waiting(listener.port());
    waiting.send(request("GET", "/screen/fields"));
    EXPECT_EQ(Client(listener.port()).exchange(push("{}")), 202u);
    EXPECT_EQ(waiting.receive(), 0u);  // no answer before the deadline closed it

    listener.stop();
    loop.runUntilIdle();  // the fields question and the accepted push were still queued
    EXPECT_EQ(handler.deliveries(), 0u);
}

}  // namespace
}  // namespace perfagent

#include "platform/http_listener.hpp"

#include "platform/push_body.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <array>
#include <atomic>
#include <cstdio>
#include <exception>
#include <list>
#include <optional>
#include <vector>

namespace perfagent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// A push body the HTTP parser lets through is never refused as too large afterwards, and the other way round.
static_assert(HttpListener::kBodyLimit == kPushBodyLimit);

namespace {

constexpr std::string_view kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

/// After a response that ends the connection, what the client still sends is read and dropped for at
/// most this long (and this much) before the socket is closed, so that closing with unread data does not
/// reset the connection before the client has read the response.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr std::size_t kLingerBytes = 64 * 1024;

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

/// Compares over the whole length of `expected` whatever is presented, so the time taken says nothing
/// about how many leading characters of a guess were right.
bool constantTimeEquals(std::string_view presented, std::string_view expected) {
    std::size_t difference = presented.size() ^ expected.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        difference |= static_cast<std::size_t>(p ^ static_cast<unsigned char>(expected[i]));
    }
    return difference == 0;
}

bool isJsonContentType(std::string_view value) {
    return beast::iequals(trim(value.substr(0, value.find(';'))), "application/json");
}

/// A host that DNS cannot rebind to us: an address literal or localhost, with an optional port.
bool isAddressLiteralHost(std::string_view host) {
    std::string_view name = host;
    if (!name.empty() && name.front() == '[') {
        const auto close = name.find(']');
        if (close == std::string_view::npos) return false;
        name = name.substr(1, close - 1);
    } else if (const auto colon = name.rfind(':'); colon != std::string_view::npos) {
        name = name.substr(0, colon);
    }
    if (beast::iequals(name, "localhost")) return true;
    error_code ec;
    asio::ip::make_address(std::string(name), ec);
    return !ec;
}

std::string hostText(const asio::ip::address& address) {
    return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

bool isHttpParseError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

enum class Route { Page, Fields, Start, Stop, Push };

struct RouteEntry {
    std::string_view path;
    http::verb method;
    Route route;
};

constexpr std::array<RouteEntry, 5> kRoutes{{
    {"/", http::verb::get, Route::Page},
    {"/screen/fields", http::verb::get, Route::Fields},
    {"/screen/actions/start", http::verb::post, Route::Start},
    {"/screen/actions/stop", http::verb::post, Route::Stop},
    {"/remote-notification", http::verb::post, Route::Push},
}};

class Session;

}  // namespace

namespace detail {

/// @brief What the network thread shares with the sessions, and what a main-thread block may still reach
/// (through a weak pointer) after the listener is gone.
class HttpListenerCore : public std::enable_shared_from_this<HttpListenerCore> {
public:
    HttpListenerCore(RunLoop& runLoop, std::string token, std::string page, ListenerHandler& handler,
                     HttpListener::Diagnostics diagnostics, HttpListenerLimits limits)
        : runLoop(runLoop),
          token(std::move(token)),
          page(std::move(page)),
          handler(handler),
          diagnostics(std::move(diagnostics)),
          limits(limits) {}

    error_code listen(const tcp::endpoint& endpoint);
    void accept();
    /// Network thread: closes the acceptor and every connection.
    void shutdown();
    /// Posts `call` to the main thread; it runs only while the listener is still delivering.
    void deliver(std::function<void(ListenerHandler&)> call);
    bool isOwnOrigin(std::string_view origin, std::string_view host) const;

    RunLoop& runLoop;
    const std::string token;
    const std::string page;
    ListenerHandler& handler;
    const HttpListener::Diagnostics diagnostics;
    const HttpListenerLimits limits;
    std::atomic<bool> delivering{true};

    // Network thread only. Declared before the io_context so that sessions destroyed along with its
    // pending handlers can still unregister themselves.
    std::list<Session*> sessions;
    bool stopping = false;
    bool saturationReported = false;
    std::vector<std::string> ownOrigins;
    unsigned short port = 0;

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};

private:
    void onAccept(error_code ec, tcp::socket socket);
};

}  // namespace detail

namespace {

using Core = detail::HttpListenerCore;

/// @brief One client connection: reads requests one after the other, answers each, and closes the
/// connection on error, on its deadline, or when the request asked for it.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Core& core, tcp::socket socket)
        : core_(core), socket_(std::move(socket)), deadline_(core.io), buffer_(HttpListener::kHeaderLimit * 2) {
        entry_ = core_.sessions.insert(core_.sessions.end(), this);
    }
    ~Session() { core_.sessions.erase(entry_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void run() { readHeader(); }

    void close() {
        closeSocket();
        deadline_.cancel();
    }

private:
    void readHeader();
    void onHeader(error_code ec);
    void readBody();
    void onBody(error_code ec);
    void handle();
    void askFields();
    void answerFields(const ScreenFields& fields);
    void respond(http::status status, std::string body = {}, std::string_view contentType = {});
    void reject(http::status status, std::string_view reason);
    void onWrite(error_code ec);
    void lingerThenClose();
    void drain();
    void arm(std::chrono::steady_clock::duration timeout);
    void closeSocket();

    const http::request<http::string_body>& request() const { return parser_->get(); }
    bool isScreenAction() const { return route_ == Route::Start || route_ == Route::Stop; }

    Core& core_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    Route route_ = Route::Page;
    std::array<char, 4096> drainBuffer_{};
    std::size_t drained_ = 0;
    std::list<Session*>::iterator entry_;
};

void Session::arm(std::chrono::steady_clock::duration timeout) {
    if (core_.stopping) return;
    deadline_.expires_after(timeout);
    deadline_.async_wait([self = shared_from_this()](error_code ec) {
        // A wait that completed just before the deadline was moved would see a later expiry.
        if (ec || self->deadline_.expiry() > std::chrono::steady_clock::now()) return;
        self->closeSocket();
    });
}

void Session::closeSocket() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void Session::readHeader() {
    parser_.emplace();
    parser_->header_limit(HttpListener::kHeaderLimit);
    // The body limit is set once the route is known: an unauthenticated push must be told 401, not 413.
    parser_->body_limit(boost::none);
    arm(core_.limits.requestTimeout);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
}

void Session::onHeader(error_code ec) {
    if (ec == http::error::header_limit) return respond(http::status::request_header_fields_too_large);
    if (isHttpParseError(ec)) return respond(http::status::bad_request);
    if (ec) return closeSocket();

    const auto& req = request();
    const std::string_view target = req.target();
    const std::string_view path = target.substr(0, target.find('?'));
    const RouteEntry* entry = nullptr;
    for (const auto& candidate : kRoutes)
        if (candidate.path == path) entry = &candidate;
    if (!entry) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8");
    if (req.method() != entry->method) {
        response_.set(http::field::allow, http::to_string(entry->method));
        return respond(http::status::method_not_allowed, "method not allowed\n", "text/plain; charset=utf-8");
    }
    route_ = entry->route;

    if (route_ == Route::Push) {
        const std::string_view authorization = trim(req[http::field::authorization]);
        constexpr std::string_view scheme = "Bearer ";
        if (core_.token.empty() || authorization.size() < scheme.size() ||
            !beast::iequals(authorization.substr(0, scheme.size()), scheme))
            return reject(http::status::unauthorized, "missing token");
        if (!constantTimeEquals(trim(authorization.substr(scheme.size())), core_.token))
            return reject(http::status::unauthorized, "wrong token");
    }
    if (isScreenAction()) {
        const std::string_view origin = req[http::field::origin];
        if (req.find(http::field::origin) != req.end() && !core_.isOwnOrigin(origin, req[http::field::host]))
            return reject(http::status::forbidden, "foreign origin");
        if (!isJsonContentType(req[http::field::content_type]))
            return reject(http::status::unsupported_media_type, "not JSON");
    }
    if (const auto length = parser_->content_length(); length && *length > HttpListener::kBodyLimit)
        return reject(http::status::payload_too_large, "body too large");

    parser_->body_limit(HttpListener::kBodyLimit);  // enforced on chunked bodies while reading
    if (parser_->is_done()) return handle();
    if (beast::iequals(req[http::field::expect], "100-continue")) {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        return asio::async_write(socket_, asio::buffer(kContinue),
                                 [self = shared_from_this()](error_code writeError, std::size_t) {
                                     if (writeError) return self->closeSocket();
                                     self->readBody();
                                 });
    }
    readBody();
}

void Session::readBody() {
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](error_code ec, std::size_t) { self->onBody(ec); });
}

void Session::onBody(error_code ec) {
    if (ec == http::error::body_limit) return reject(http::status::payload_too_large, "body too large");
    if (isHttpParseError(ec)) return respond(http::status::bad_request);
    if (ec) return closeSocket();
    handle();
}

void Session::handle() {
    const std::string& body = request().body();
    switch (route_) {
    case Route::Page:
        response_.set("Content-Security-Policy", kPagePolicy);
        response_.set(http::field::x_frame_options, "DENY");
        response_.set("Referrer-Policy", "no-referrer");
        return respond(http::status::ok, core_.page, "text/html; charset=utf-8");
    case Route::Fields:
        return askFields();
    case Route::Push: {
        PushBodyCheck check = parsePushBody(body);
        if (!check.userInfo) return reject(static_cast<http::status>(check.status), check.reason);
        core_.deliver([userInfo = std::move(*check.userInfo)](ListenerHandler& handler) {
            handler.didReceiveRemoteNotification(userInfo);
        });
        return respond(http::status::accepted);
    }
    case Route::Start: {
        error_code ec;
        boost::json::value value = boost::json::parse(body, ec);
        if (ec) return reject(http::status::bad_request, "invalid JSON");
        if (!value.is_object()) return reject(http::status::bad_request, "not a JSON object");
        std::string texts[2];
        const char* names[2] = {"useCaseName", "srNumber"};
        for (int i = 0; i < 2; ++i) {
            const boost::json::value* member = value.get_object().if_contains(names[i]);
            if (!member) continue;  // an absent field is empty text
            if (!member->is_string()) return reject(http::status::bad_request, "field is not text");
            texts[i] = std::string(member->get_string());
        }
        core_.deliver([useCaseName = std::move(texts[0]), srNumber = std::move(texts[1])](ListenerHandler& handler) {
            handler.screenStart(useCaseName, srNumber);
        });
        return respond(http::status::no_content);
    }
    case Route::Stop: {
        if (!trim(body).empty()) {
            error_code ec;
            boost::json::value value = boost::json::parse(body, ec);
            if (ec || !value.is_object()) return reject(http::status::bad_request, "not a JSON object");
        }
        core_.deliver([](ListenerHandler& handler) { handler.screenStop(); });
        return respond(http::status::no_content);
    }
    }
}

void Session::askFields() {
    // The answer comes from the main thread and is handed back to this thread to be written; nothing
    // here waits for it. Until it comes the request's deadline keeps running.
    core_.runLoop.async([core = core_.weak_from_this(), session = weak_from_this()] {
        const auto live = core.lock();
        if (!live || !live->delivering) return;
        ScreenFields fields = live->handler.screenFields();
        asio::post(live->io, [session, fields = std::move(fields)] {
            if (const auto self = session.lock()) self->answerFields(fields);
        });
    });
}

void Session::answerFields(const ScreenFields& fields) {
    if (!socket_.is_open()) return;
    const boost::json::object document{{"useCaseName", fields.useCaseName}, {"srNumber", fields.srNumber}};
    respond(http::status::ok, boost::json::serialize(document), "application/json");
}

void Session::reject(http::status status, std::string_view reason) {
    const std::string what = route_ == Route::Push ? "push" : "screen action";
    if (core_.diagnostics) {
        core_.diagnostics("perfagent: " + what + " rejected: " + std::to_string(static_cast<unsigned>(status)) + " " +
                          std::string(reason));
    }
    respond(status, std::string(reason) + "\n", "text/plain; charset=utf-8");
}

/// Writes the response. `response_` starts out empty for every request; headers the caller has set on it
/// are kept.
void Session::respond(http::status status, std::string body, std::string_view contentType) {
    response_.version(11);
    response_.result(status);
    response_.set(http::field::cache_control, "no-store");
    response_.set("X-Content-Type-Options", "nosniff");
    if (!contentType.empty()) response_.set(http::field::content_type, contentType);
    response_.body() = std::move(body);
    // The connection is kept only when the whole request has been read and the client wants it kept.
    response_.keep_alive(parser_ && parser_->is_done() && request().keep_alive());
    response_.prepare_payload();
    arm(core_.limits.requestTimeout);
    http::async_write(socket_, response_,
                      [self = shared_from_this()](error_code ec, std::size_t) { self->onWrite(ec); });
}

void Session::onWrite(error_code ec) {
    if (ec) return closeSocket();
    if (!response_.keep_alive()) return lingerThenClose();
    response_ = {};
    readHeader();
}

void Session::lingerThenClose() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    arm(std::min<std::chrono::steady_clock::duration>(kLingerTime, core_.limits.requestTimeout));
    drain();
}

void Session::drain() {
    socket_.async_read_some(asio::buffer(drainBuffer_), [self = shared_from_this()](error_code ec, std::size_t n) {
        self->drained_ += n;
        if (ec || self->drained_ > kLingerBytes) {
            self->deadline_.cancel();
            return self->closeSocket();
        }
        self->drain();
    });
}

}  // namespace

namespace detail {

error_code HttpListenerCore::listen(const tcp::endpoint& endpoint) {
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    tcp::endpoint local;
    if (!ec) local = acceptor.local_endpoint(ec);
    if (ec) {
        error_code ignored;
        acceptor.close(ignored);
        return ec;
    }
    port = local.port();
    const std::string portText = std::to_string(port);
    ownOrigins = {"http://127.0.0.1:" + portText, "http://localhost:" + portText, "http://[::1]:" + portText,
                  "http://" + hostText(local.address()) + ":" + portText};
    return {};
}

void HttpListenerCore::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) { onAccept(ec, std::move(socket)); });
}

void HttpListenerCore::onAccept(error_code ec, tcp::socket socket) {
    if (stopping || ec == asio::error::operation_aborted) return;
    if (ec) {
        // Out of descriptors and the like: try again shortly rather than spin.
        acceptRetry.expires_after(std::chrono::milliseconds(100));
        acceptRetry.async_wait([this](error_code waitError) {
            if (!waitError) accept();
        });
        return;
    }
    if (sessions.size() >= limits.maxConnections) {
        error_code ignored;
        socket.close(ignored);
        if (!saturationReported && diagnostics) {
            diagnostics("perfagent: connection limit of " + std::to_string(limits.maxConnections) +
                        " reached; closing new connections");
        }
        saturationReported = true;
    } else {
        saturationReported = false;
        std::make_shared<Session>(*this, std::move(socket))->run();
    }
    accept();
}

void HttpListenerCore::shutdown() {
    stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    for (Session* session : sessions) session->close();
}

void HttpListenerCore::deliver(std::function<void(ListenerHandler&)> call) {
    runLoop.async([core = weak_from_this(), call = std::move(call)] {
        const auto live = core.lock();
        if (live && live->delivering) call(live->handler);
    });
}

bool HttpListenerCore::isOwnOrigin(std::string_view origin, std::string_view host) const {
    for (const auto& own : ownOrigins)
        if (beast::iequals(origin, own)) return true;
    // The address the page was opened at (a LAN address, say) is ours too; a DNS name is not taken from
    // the request, so a name rebound to this machine does not make a foreign page same-origin.
    constexpr std::string_view scheme = "http://";
    return !host.empty() && isAddressLiteralHost(host) && origin.size() == scheme.size() + host.size() &&
           beast::iequals(origin.substr(0, scheme.size()), scheme) &&
           beast::iequals(origin.substr(scheme.size()), host);
}

}  // namespace detail

HttpListener::HttpListener(tcp::endpoint endpoint, RunLoop& runLoop, std::string deviceToken, std::string page,
                           ListenerHandler& handler, Diagnostics diagnostics, HttpListenerLimits limits)
    : core_(std::make_shared<detail::HttpListenerCore>(
          runLoop, std::move(deviceToken), std::move(page), handler,
          diagnostics ? std::move(diagnostics)
                      : Diagnostics([](std::string_view line) {
                            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
                        }),
          limits)),
      endpoint_(std::move(endpoint)) {}

HttpListener::~HttpListener() { stop(); }

error_code HttpListener::start() {
    if (started_) return asio::error::already_started;
    started_ = true;
    if (const error_code ec = core_->listen(endpoint_)) return ec;
    port_ = core_->port;
    core_->diagnostics("perfagent: listening on http://" + hostText(endpoint_.address()) + ":" + std::to_string(port_));
    core_->accept();
    thread_ = std::thread([core = core_.get()] {
        for (;;) {
            try {
                core->io.run();
                return;
            } catch (const std::exception& e) {
                core->diagnostics(std::string("perfagent: listener error: ") + e.what());
            }
        }
    });
    return {};
}

void HttpListener::stop() {
    core_->delivering = false;
    if (!thread_.joinable()) return;
    asio::post(core_->io, [core = core_.get()] { core->shutdown(); });
    thread_.join();
}

}  // namespace perfagent

#include "platform/http_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <atomic>
#include <charconv>
#include <exception>
#include <list>

namespace perfagent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

/// After a response that ends the connection, what the client still sends is read and dropped for at
/// most this long (and this much) before the socket is closed, so that closing with unread data does not
/// reset the connection before the client has read the response.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr std::size_t kLingerBytes = 64 * 1024;

bool isHttpParseError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

asio::ip::address unmapped(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

}  // namespace

std::string_view HttpServerRequest::path() const {
    return std::string_view(target).substr(0, target.find('?'));
}

std::optional<std::string_view> HttpServerRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (beast::iequals(key, name)) return value;
    return std::nullopt;
}

std::string authorityText(const asio::ip::address& address, unsigned short port) {
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(port);
}

bool isOwnAuthority(std::string_view authority, const HttpServerRequest& request) {
    std::string_view host = authority;
    std::string_view port;
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && !port.starts_with(':')) return false;
    } else if (const auto colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon);
        host = host.substr(0, colon);
    }
    unsigned number = 80;
    if (!port.empty()) {
        port.remove_prefix(1);
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (ec != std::errc() || end != port.data() + port.size()) return false;
    }
    if (number != request.local.port()) return false;
    if (beast::iequals(host, "localhost")) return true;
    error_code ec;
    const auto address = asio::ip::make_address(std::string(host), ec);
    return !ec && unmapped(address) == unmapped(request.local.address());
}

namespace detail {

/// @brief What the network thread shares with the sessions, and what a responder may still reach
/// (through a weak pointer) after the server is gone.
class HttpServerCore : public std::enable_shared_from_this<HttpServerCore> {
public:
    HttpServerCore(std::vector<HttpRoute> routes, Diagnostics& diagnostics, std::string program,
                   HttpServerLimits limits)
        : routes(std::move(routes)), diagnostics(diagnostics), program(std::move(program)), limits(limits) {}

    error_code listen(const tcp::endpoint& endpoint);
    void accept();
    /// Network thread: closes the acceptor and every connection.
    void shutdown();
    void logRefusal(std::string_view routeName, const HttpRefusal& refusal) {
        if (routeName.empty()) return;
        const std::string text = std::string(routeName) + " rejected: " + std::to_string(refusal.status) + " " +
                                 refusal.reason;
        diagnostics.repeated(text, program + ": " + text);
    }

    const std::vector<HttpRoute> routes;
    Diagnostics& diagnostics;
    const std::string program;
    const HttpServerLimits limits;

    // Network thread only. The sessions whose sockets are open, oldest first. Declared before the
    // io_context so that it outlives the handlers destroyed with it.
    std::list<HttpSession*> sessions;
    bool stopping = false;
    unsigned short port = 0;

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};

private:
    void onAccept(error_code ec, tcp::socket socket);
};

/// @brief One client connection: reads requests one after the other, hands each to its route, writes
/// the answer, and closes on error, on the request's deadline, or when the request asked for it.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(HttpServerCore& core, tcp::socket socket)
        : core_(core), stream_(std::move(socket)), wait_(core.io), buffer_(core.limits.headerLimit * 2) {
        entry_ = core_.sessions.insert(core_.sessions.end(), this);
    }
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    void run() { awaitRequest(); }
    /// Waiting for a request's first byte, or lingering after the last answer.
    bool idle() const { return idle_; }

    /// Closes the socket and frees its slot at once; what is pending ends with an error. Idempotent.
    void close() {
        if (!open_) return;
        open_ = false;
        idle_ = false;
        core_.sessions.erase(entry_);
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        wait_.cancel();
    }

    /// The route's answer, on the network thread.
    void answer(HttpServerResponse response) {
        if (!awaiting_ || !open_) return;
        awaiting_ = false;
        wait_.cancel();
        for (auto& [name, value] : response.headers) response_.set(name, value);
        respond(response.status, std::move(response.body), response.contentType);
    }

private:
    void awaitRequest();
    void readHeader();
    void onHeader(error_code ec);
    void readBody();
    void onBody(error_code ec);
    void handle();
    void refuse(HttpRefusal refusal);
    void respond(unsigned status, std::string body = {}, std::string_view contentType = {});
    void onWrite(error_code ec);
    void lingerThenClose();
    void drain();

    HttpServerCore& core_;
    beast::tcp_stream stream_;
    asio::steady_timer wait_;  // the request's deadline while its route answers
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    std::chrono::steady_clock::time_point deadline_;
    const HttpRoute* route_ = nullptr;
    HttpServerRequest request_;
    std::list<HttpSession*>::iterator entry_;
    bool open_ = true;
    bool idle_ = false;
    bool awaiting_ = false;
    std::array<char, 4096> drainBuffer_{};
    std::size_t drained_ = 0;
};

}  // namespace detail

struct HttpResponder::Exchange {
    std::weak_ptr<detail::HttpServerCore> core;
    std::weak_ptr<detail::HttpSession> session;
    std::string routeName;
    std::atomic<bool> answered{false};

    ~Exchange() {
        if (!answered) send({.status = 503, .body = "unavailable\n", .contentType = "text/plain; charset=utf-8"});
    }
    void send(HttpServerResponse response) {
        answered = true;
        if (const auto live = core.lock())
            asio::post(live->io, [session = session, response = std::move(response)]() mutable {
                if (const auto self = session.lock()) self->answer(std::move(response));
            });
    }
};

void HttpResponder::answer(HttpServerResponse response) const {
    if (exchange_->answered.exchange(true)) return;
    exchange_->send(std::move(response));
}

void HttpResponder::refuse(HttpRefusal refusal) const {
    if (exchange_->answered.exchange(true)) return;
    if (const auto live = exchange_->core.lock()) live->logRefusal(exchange_->routeName, refusal);
    exchange_->send({.status = refusal.status, .body = refusal.reason + "\n", .contentType = "text/plain; charset=utf-8"});
}

namespace detail {

void HttpSession::awaitRequest() {
    deadline_ = std::chrono::steady_clock::now() + core_.limits.requestTimeout;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(core_.limits.headerLimit));
    // The body limit is set once the route is known: an unauthenticated push must be told 401, not 413.
    parser_->body_limit(boost::none);
    route_ = nullptr;
    request_ = {};
    if (buffer_.size() > 0) return readHeader();  // a pipelined request is already here
    idle_ = true;
    stream_.expires_at(deadline_);
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](error_code ec, std::size_t n) {
        self->idle_ = false;
        if (ec) return self->close();
        self->buffer_.commit(n);
        self->readHeader();
    });
}

void HttpSession::readHeader() {
    stream_.expires_at(deadline_);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
}

void HttpSession::onHeader(error_code ec) {
    if (ec == http::error::header_limit) return respond(431);
    if (isHttpParseError(ec)) return respond(400);
    if (ec) return close();

    const auto& req = parser_->get();
    request_.method = std::string(req.method_string());
    request_.target = std::string(req.target());
    for (const auto& field : req) request_.headers.emplace_back(field.name_string(), field.value());
    error_code ignored;
    request_.peer = stream_.socket().remote_endpoint(ignored);
    request_.local = stream_.socket().local_endpoint(ignored);

    const std::string_view path = request_.path();
    std::string allowed;
    for (const auto& route : core_.routes) {
        if (route.prefix ? !path.starts_with(route.path) : path != route.path) continue;
        if (route.method == request_.method) {
            route_ = &route;
            break;
        }
        allowed += (allowed.empty() ? "" : ", ") + route.method;
    }
    if (!route_ && allowed.empty()) return respond(404, "not found\n", "text/plain; charset=utf-8");
    if (!route_) {
        response_.set(http::field::allow, allowed);
        return respond(405, "method not allowed\n", "text/plain; charset=utf-8");
    }
    if (route_->ownHostOnly && !isOwnAuthority(request_.header("Host").value_or(""), request_))
        return refuse({403, "foreign host"});
    if (route_->admit)
        if (auto refusal = route_->admit(request_)) return refuse(std::move(*refusal));
    if (const auto length = parser_->content_length(); length && *length > route_->bodyLimit)
        return refuse({413, "body too large"});

    parser_->body_limit(route_->bodyLimit);  // enforced on chunked bodies while reading
    if (parser_->is_done()) return handle();
    if (beast::iequals(req[http::field::expect], "100-continue")) {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_at(deadline_);
        return asio::async_write(stream_, asio::buffer(kContinue),
                                 [self = shared_from_this()](error_code writeError, std::size_t) {
                                     if (writeError) return self->close();
                                     self->readBody();
                                 });
    }
    readBody();
}

void HttpSession::readBody() {
    stream_.expires_at(deadline_);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](error_code ec, std::size_t) { self->onBody(ec); });
}

void HttpSession::onBody(error_code ec) {
    if (ec == http::error::body_limit) return refuse({413, "body too large"});
    if (isHttpParseError(ec)) return respond(400);
    if (ec) return close();
    handle();
}

void HttpSession::handle() {
    request_.body = std::move(parser_->get().body());
    auto exchange = std::make_shared<HttpResponder::Exchange>();
    exchange->core = core_.weak_from_this();
    exchange->session = weak_from_this();
    exchange->routeName = route_->name;
    HttpResponder responder;
    responder.exchange_ = std::move(exchange);
    awaiting_ = true;
    // Until the route answers, the request's deadline keeps running; closing cancels the wait.
    wait_.expires_at(deadline_);
    wait_.async_wait([self = shared_from_this()](error_code ec) {
        if (!ec && self->awaiting_) self->close();
    });
    route_->handle(std::move(request_), std::move(responder));
}

void HttpSession::refuse(HttpRefusal refusal) {
    core_.logRefusal(route_ ? std::string_view(route_->name) : std::string_view(), refusal);
    respond(refusal.status, refusal.reason + "\n", "text/plain; charset=utf-8");
}

/// Writes the response. `response_` starts out empty for every request; headers set on it are kept.
void HttpSession::respond(unsigned status, std::string body, std::string_view contentType) {
    const bool whole = parser_ && parser_->is_done();
    // An HTTP/1.0 client is answered in 1.0, with "Connection: keep-alive" when it asked to keep the
    // connection; the connection is kept only when the whole request has been read.
    response_.version(parser_ && parser_->is_header_done() && parser_->get().version() == 10 ? 10 : 11);
    response_.result(status);
    response_.set(http::field::cache_control, "no-store");
    response_.set("X-Content-Type-Options", "nosniff");
    if (!contentType.empty()) response_.set(http::field::content_type, contentType);
    response_.body() = std::move(body);
    response_.keep_alive(whole && parser_->get().keep_alive() && !core_.stopping);
    response_.prepare_payload();
    stream_.expires_after(core_.limits.requestTimeout);
    http::async_write(stream_, response_, [self = shared_from_this()](error_code ec, std::size_t) { self->onWrite(ec); });
}

void HttpSession::onWrite(error_code ec) {
    if (ec) return close();
    if (!response_.keep_alive()) return lingerThenClose();
    response_ = {};
    awaitRequest();
}

void HttpSession::lingerThenClose() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    idle_ = true;
    stream_.expires_after(std::min<std::chrono::steady_clock::duration>(kLingerTime, core_.limits.requestTimeout));
    drain();
}

void HttpSession::drain() {
    stream_.async_read_some(asio::buffer(drainBuffer_), [self = shared_from_this()](error_code ec, std::size_t n) {
        self->drained_ += n;
        if (ec || self->drained_ > kLingerBytes) return self->close();
        self->drain();
    });
}

error_code HttpServerCore::listen(const tcp::endpoint& endpoint) {
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
    return {};
}

void HttpServerCore::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) { onAccept(ec, std::move(socket)); });
}

void HttpServerCore::onAccept(error_code ec, tcp::socket socket) {
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
        // Make room by closing the connection that has waited longest for its next request.
        for (HttpSession* session : sessions) {
            if (!session->idle()) continue;
            session->close();
            break;
        }
    }
    if (sessions.size() >= limits.maxConnections) {
        error_code ignored;
        socket.close(ignored);
        diagnostics.repeated("connection limit", program + ": connection limit of " +
                                                     std::to_string(limits.maxConnections) +
                                                     " reached; closing new connections");
    } else {
        std::make_shared<HttpSession>(*this, std::move(socket))->run();
    }
    accept();
}

void HttpServerCore::shutdown() {
    stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    while (!sessions.empty()) sessions.front()->close();
}

}  // namespace detail

HttpServer::HttpServer(tcp::endpoint endpoint, std::vector<HttpRoute> routes, Diagnostics& diagnostics,
                       std::string program, HttpServerLimits limits)
    : core_(std::make_shared<detail::HttpServerCore>(std::move(routes), diagnostics, std::move(program), limits)),
      endpoint_(std::move(endpoint)) {}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::authority() const { return authorityText(endpoint_.address(), port_); }

error_code HttpServer::start() {
    if (started_) return asio::error::already_started;
    started_ = true;
    if (const error_code ec = core_->listen(endpoint_)) return ec;
    port_ = core_->port;
    core_->accept();
    thread_ = std::thread([core = core_.get()] {
        for (;;) {
            try {
                core->io.run();
                return;
            } catch (const std::exception& e) {
                core->diagnostics.line(core->program + ": listener error: " + e.what());
            }
        }
    });
    return {};
}

void HttpServer::stop() {
    if (!thread_.joinable()) return;
    asio::post(core_->io, [core = core_.get()] { core->shutdown(); });
    thread_.join();
}

}  // namespace perfagent

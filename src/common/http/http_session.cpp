#include "http/http_server_core.hpp"

#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace perfagent::detail {

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

const HttpRefusal kBusy{503, "busy: too many request bodies at once"};

/// Whether the body is framed as its sender meant: by Content-Length, or chunked and nothing else. A
/// coding this server cannot undo (gzip, "xchunked", "gzip, chunked") leaves the body's end unknown.
bool framedAsSent(const http::request_header<>& header) {
    const auto [first, last] = header.equal_range(http::field::transfer_encoding);
    return first == last || (std::next(first) == last && beast::iequals(first->value(), "chunked"));
}

}  // namespace

void HttpSession::awaitRequest() {
    busy_ = false;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(core_.limits.headerLimit));
    // The body limit is set once the route is known: an unauthenticated push must be told 401, not 413.
    parser_->body_limit(boost::none);
    route_ = nullptr;
    request_ = {};
    reorder();
    if (buffer_.size() > 0) return readHeader();  // a pipelined request is already here
    stream_.expires_after(core_.limits.requestTimeout);
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](error_code ec, std::size_t n) {
        self->core_.network.runningHere();
        if (ec) return self->close();
        self->buffer_.commit(n);
        self->readHeader();
    });
}

/// The request's first byte is in: from here its header has `headerTimeout`, the whole `requestTimeout`.
void HttpSession::readHeader() {
    const auto now = std::chrono::steady_clock::now();
    deadline_ = now + core_.limits.requestTimeout;
    reorder();
    stream_.expires_at(std::min(deadline_, now + core_.limits.headerTimeout));
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
}

void HttpSession::onHeader(error_code ec) {
    core_.network.runningHere();
    if (ec == http::error::header_limit) return respond(431);
    if (isHttpParseError(ec)) return respond(400);
    if (ec) return close();

    const auto& req = parser_->get();
    if (!framedAsSent(req)) return respond(501, "unsupported transfer coding\n", "text/plain; charset=utf-8");
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
    // Two Host headers could each be read by a different party as the one that counts.
    if (req.count(http::field::host) > 1) return refuse({400, "more than one Host header"});
    if (route_->ownHostOnly && !isOwnAuthority(request_.header("Host").value_or(""), request_))
        return refuse({403, "foreign host"});
    if (route_->admit)
        if (auto refusal = route_->admit(request_)) return refuse(std::move(*refusal));
    if (const auto length = parser_->content_length(); length && *length > route_->bodyLimit)
        return refuse({413, "body too large"});

    parser_->body_limit(route_->bodyLimit);  // enforced on chunked bodies while reading
    if (parser_->is_done()) return handle();
    bodyStart_ = std::chrono::steady_clock::now();
    if (beast::iequals(req[http::field::expect], "100-continue")) {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_at(deadline_);
        return asio::async_write(stream_, asio::buffer(kContinue),
                                 [self = shared_from_this()](error_code writeError, std::size_t) {
                                     self->core_.network.runningHere();
                                     if (writeError) return self->close();
                                     self->readBody();
                                 });
    }
    readBody();
}

/// Reads what has come of the body. Past the header's grace, the body must keep up with `minBodyRate`.
void HttpSession::readBody() {
    const std::size_t received = parser_->get().body().size();
    const std::chrono::milliseconds allowed =
        core_.limits.headerTimeout +
        std::chrono::milliseconds(received * 1000 / std::max<std::size_t>(core_.limits.minBodyRate, 1));
    stream_.expires_at(std::min(deadline_, bodyStart_ + allowed));
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = shared_from_this()](error_code ec, std::size_t) { self->onBody(ec); });
}

void HttpSession::onBody(error_code ec) {
    core_.network.runningHere();
    if (ec == http::error::body_limit) return refuse({413, "body too large"});
    if (isHttpParseError(ec)) return respond(400);
    if (ec) return close();
    // Counted as the bytes arrive: a client that declares a large body but sends it slowly holds little.
    if (!holdBody(parser_->get().body().size())) return refuse(kBusy);
    if (!parser_->is_done()) return readBody();
    handle();
}

bool HttpSession::holdBody(std::size_t bytes) {
    if (bytes <= held_) return true;
    if (!core_.reserveBody(bytes - held_)) return false;
    held_ = bytes;
    return true;
}

/// Gives the body's bytes back to the budget, and frees what the parser still holds of it.
void HttpSession::releaseBody() {
    core_.bodyBytes -= held_;
    held_ = 0;
    if (parser_) parser_->get().body() = std::string();
}

void HttpSession::handle() {
    busy_ = true;
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
    // What the route left of the request is dropped: a body it still needs, it has moved out.
    request_ = {};
    releaseBody();
}

void HttpSession::refuse(HttpRefusal refusal) {
    core_.logRefusal(route_ ? std::string_view(route_->name) : std::string_view(), refusal);
    respond(refusal.status, refusal.reason + "\n", "text/plain; charset=utf-8");
}

/// Writes the response. `response_` starts out empty for every request; headers set on it are kept.
void HttpSession::respond(unsigned status, std::string body, std::string_view contentType) {
    busy_ = true;
    releaseBody();
    // The connection is kept only when the whole request has been read, as framed by its sender.
    const bool whole = parser_ && parser_->is_done() && framedAsSent(parser_->get());
    // An HTTP/1.0 client is answered in 1.0, with "Connection: keep-alive" when it asked to keep the
    // connection.
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
    core_.network.runningHere();
    if (ec || !open_) return close();  // closed meanwhile (at the cap, at stop), its write already done
    if (!response_.keep_alive()) return lingerThenClose();
    response_ = {};
    awaitRequest();
}

void HttpSession::lingerThenClose() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    busy_ = false;
    reorder(true);  // the first to make room
    stream_.expires_after(std::min<std::chrono::steady_clock::duration>(kLingerTime, core_.limits.requestTimeout));
    drain();
}

void HttpSession::drain() {
    stream_.async_read_some(asio::buffer(drainBuffer_), [self = shared_from_this()](error_code ec, std::size_t n) {
        self->core_.network.runningHere();
        self->drained_ += n;
        if (ec || self->drained_ > kLingerBytes) return self->close();
        self->drain();
    });
}
}  // namespace perfagent::detail

#include "http/http_server_core.hpp"
#include "http/listen_address.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <charconv>
#include <exception>

namespace perfagent {

namespace {

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

bool isOwnAuthority(std::string_view authority, const HttpServerRequest& request, std::span<const std::string> alsoNames) {
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
    if (std::any_of(alsoNames.begin(), alsoNames.end(), [host](const std::string& name) { return beast::iequals(host, name); }))
        return true;  // a name the server was told to answer to, whatever port a proxy in front of it has
    if (number != request.local.port()) return false;
    if (beast::iequals(host, "localhost")) return true;
    error_code ec;
    const auto address = asio::ip::make_address(std::string(host), ec);
    return !ec && unmapped(address) == unmapped(request.local.address());
}

bool isJsonContentType(std::string_view value) {
    value = value.substr(0, value.find(';'));
    const auto first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos) return false;
    value = value.substr(first, value.find_last_not_of(" \t") - first + 1);
    return beast::iequals(value, "application/json");
}

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
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        network.runningHere();
        onAccept(ec, std::move(socket));
    });
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
        // Make room by closing the connection that has waited longest, for a request or the rest of one:
        // a flood of slow or half-sent requests cannot lock a well-behaved client out.
        const auto oldest = std::find_if(sessions.begin(), sessions.end(),
                                         [](const HttpSession* session) { return session->evictable(); });
        if (oldest != sessions.end()) (*oldest)->close();
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
                       std::string program, HttpServerLimits limits, RefusalObserver observer)
    : core_(std::make_shared<detail::HttpServerCore>(std::move(routes), diagnostics, std::move(program), limits,
                                                     std::move(observer))),
      endpoint_(std::move(endpoint)) {}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::authority() const { return authorityText(endpoint_.address(), port_); }

Result<void> HttpServer::start() {
    const auto failed = [](const error_code& ec) { return Failure(ec.message(), ec); };
    if (started_) return failed(asio::error::already_started);
    started_ = true;
    if (const error_code ec = core_->listen(endpoint_)) return failed(ec);
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
    asio::post(core_->io, [core = core_.get()] {
        core->network.runningHere();
        core->shutdown();
    });
    thread_.join();
}

}  // namespace perfagent

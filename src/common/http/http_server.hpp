#pragma once

#include "os/diagnostics.hpp"
#include "base/result.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace perfagent {

namespace detail {
class HttpServerCore;
class HttpSession;
}  // namespace detail

/// @brief One request as a route sees it: the whole message, read and within its route's body limit.
struct HttpServerRequest {
    std::string method;  ///< "GET", "POST", …
    std::string target;  ///< as sent, query included
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    boost::asio::ip::tcp::endpoint peer;   ///< the client's address
    boost::asio::ip::tcp::endpoint local;  ///< the address the client reached us at

    /// The target without its query.
    std::string_view path() const;
    /// The first header of that name (any letter case); nothing when absent.
    std::optional<std::string_view> header(std::string_view name) const;
};

struct HttpServerResponse {
    unsigned status = 200;
    std::string body{};
    std::string contentType{};  ///< no Content-Type header when empty
    std::vector<std::pair<std::string, std::string>> headers{};
};

/// @brief A refused request: the status and a short reason, sent as the plain-text body.
struct HttpRefusal {
    unsigned status;
    std::string reason;
};

/// @brief How a route answers its request, at once or later, from any thread. Copies share one answer:
/// the first call wins, later ones do nothing. When every copy is gone unanswered, the request gets 503.
class HttpResponder {
public:
    void answer(HttpServerResponse response) const;
    /// Answers `status` with "reason\n" and, for a named route, writes "<program>: <name> rejected:
    /// <status> <reason>" to the diagnostics (rate-limited per kind of refusal).
    void refuse(HttpRefusal refusal) const;

private:
    friend class detail::HttpSession;
    struct Exchange;
    std::shared_ptr<Exchange> exchange_;
};

/// @brief A request path the server answers and what answers it. Everything here runs on the network
/// thread: keep it short and hand real work elsewhere.
struct HttpRoute {
    std::string method;
    std::string path;
    bool prefix = false;        ///< `path` matches every path that starts with it
    std::size_t bodyLimit = 0;  ///< larger bodies get 413 before they are read
    /// Only for requests whose Host names this server by the address the client reached or as
    /// localhost, with its port: a DNS name rebound to this machine is refused with 403.
    bool ownHostOnly = false;
    /// Named routes log their refusals ("push", "screen action").
    std::string name{};
    /// Runs once the headers are in, before the body is read: a refusal ends the request there.
    std::function<std::optional<HttpRefusal>(const HttpServerRequest&)> admit{};
    std::function<void(HttpServerRequest&&, HttpResponder)> handle{};
};

/// @brief Resource bounds. The defaults suit the agent; tests shorten the timeouts.
struct HttpServerLimits {
    /// How long a connection may wait for a request's first byte, and, from that byte, how long the
    /// request may take until its response is written, the route's own time included. A connection that
    /// runs over is closed without an answer.
    std::chrono::milliseconds requestTimeout{10'000};
    /// From a request's first byte to the end of its header; also the grace before a body must keep up
    /// with `minBodyRate`. A connection that runs over is closed without an answer.
    std::chrono::milliseconds headerTimeout{3'000};
    /// Bytes per second a body must average once the grace has passed.
    std::size_t minBodyRate = 16 * 1024;
    /// Open sockets. At the cap, the connection that has been idle or in the middle of its request for
    /// the longest is closed to make room; when every one is busy (its route or its answer under way), the
    /// new connection is closed.
    std::size_t maxConnections = 64;
    std::size_t headerLimit = 8 * 1024;
    /// Body bytes held at once across all connections, counted as they arrive: the request whose body
    /// would go beyond gets 503.
    std::size_t bodyBudget = 16u << 20;
};

/// @brief A small HTTP/1.1 server on its own network thread and io_context: keep-alive (HTTP/1.0's
/// too), pipelining, per-request deadlines, slow clients cut short, header and per-route body caps, a
/// bound on the body bytes held at once, and a route table. Bodies come with Content-Length or chunked;
/// any other transfer coding is refused with 501.
///
/// Construct, start() and stop() or destroy it on one thread. Handlers run on the network thread; none
/// runs once stop() has returned.
class HttpServer {
public:
    /// `endpoint` with port 0 listens on a free port (see port()). `program` starts the diagnostic lines.
    /// Told of every refusal (any thread), with the route's name ("" before a route is found).
    using RefusalObserver = std::function<void(std::string_view routeName, const HttpRefusal&)>;

    HttpServer(boost::asio::ip::tcp::endpoint endpoint, std::vector<HttpRoute> routes, Diagnostics& diagnostics,
               std::string program = "perfagent", HttpServerLimits limits = {}, RefusalObserver observer = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Binds, listens and starts the network thread; fails with the bind or listen error (nothing is
    /// started then). Call once.
    Result<void> start();
    /// Closes the acceptor and every connection and joins the network thread. Idempotent.
    void stop();

    /// The port listened on (the one picked when the endpoint's port was 0); 0 before start().
    unsigned short port() const { return port_; }
    /// "127.0.0.1:8090", "[::1]:8090": the address listened on, with the port.
    std::string authority() const;

private:
    std::shared_ptr<detail::HttpServerCore> core_;
    boost::asio::ip::tcp::endpoint endpoint_;
    std::thread thread_;
    unsigned short port_ = 0;
    bool started_ = false;
};

/// Whether `authority` ("host[:port]", port 80 when left out) names the server the request reached: the
/// local address it came in on, or localhost, with that port; or one of `alsoNames` (any letter case),
/// with any port.
bool isOwnAuthority(std::string_view authority, const HttpServerRequest& request,
                    std::span<const std::string> alsoNames = {});

/// Whether a Content-Type value names `application/json` (any letter case, parameters such as charset aside).
bool isJsonContentType(std::string_view value);

}  // namespace perfagent

#pragma once

// The network thread's side of HttpServer: shared by its two translation units only.

#include "http/http_server.hpp"
#include "base/thread_annotations.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <atomic>
#include <list>

namespace perfagent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace detail {

/// @brief What the network thread shares with the sessions, and what a responder may still reach
/// (through a weak pointer) after the server is gone.
class HttpServerCore : public std::enable_shared_from_this<HttpServerCore> {
public:
    HttpServerCore(std::vector<HttpRoute> routes, Diagnostics& diagnostics, std::string program,
                   HttpServerLimits limits, HttpServer::RefusalObserver observer)
        : routes(std::move(routes)), diagnostics(diagnostics), program(std::move(program)), limits(limits),
          observer(std::move(observer)) {}

    error_code listen(const tcp::endpoint& endpoint);
    void accept();
    /// Closes the acceptor and every connection.
    void shutdown() REQUIRES(network);
    void logRefusal(std::string_view routeName, const HttpRefusal& refusal) {
        if (observer) observer(routeName, refusal);
        if (routeName.empty()) return;
        const std::string text = std::string(routeName) + " rejected: " + std::to_string(refusal.status) + " " +
                                 refusal.reason;
        diagnostics.repeated(text, program + ": " + text);
    }

    const std::vector<HttpRoute> routes;
    Diagnostics& diagnostics;
    const std::string program;
    const HttpServerLimits limits;
    const HttpServer::RefusalObserver observer;

    /// Takes `bytes` from the body budget; false when they do not fit.
    bool reserveBody(std::size_t bytes) REQUIRES(network) {
        if (bytes > limits.bodyBudget - bodyBytes) return false;
        bodyBytes += bytes;
        return true;
    }

    /// The thread that runs `io`: the sessions and everything they share are touched there alone.
    ThreadRole network;
    // The sessions whose sockets are open, by when they last began to wait (for a request, or for the rest of
    // one) or to work, oldest first. Declared before the io_context so that it outlives the handlers
    // destroyed with it.
    std::list<HttpSession*> sessions GUARDED_BY(network);
    std::size_t bodyBytes GUARDED_BY(network) = 0;  // reserved by the sessions for the bodies they hold
    bool stopping GUARDED_BY(network) = false;
    unsigned short port = 0;

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};

private:
    void onAccept(error_code ec, tcp::socket socket) REQUIRES(network);
};

/// @brief One client connection: reads requests one after the other, hands each to its route, writes
/// the answer, and closes on error, on the request's deadline, or when the request asked for it.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(HttpServerCore& core, tcp::socket socket) REQUIRES(core.network)
        : core_(core), stream_(std::move(socket)), wait_(core.io), buffer_(core.limits.headerLimit * 2) {
        entry_ = core_.sessions.insert(core_.sessions.end(), this);
    }
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // The entry points (run, close, answer and the completion handlers) run on the network thread: they
    // say so, and what they call is checked to run there only.
    void run() {
        core_.network.runningHere();
        awaitRequest();
    }
    /// Waiting for a request or the rest of one, or lingering after the last answer: not working on a
    /// request the client has finished sending, so closing it loses no answer.
    bool evictable() const { return open_ && !busy_; }

    /// Closes the socket and frees its slot at once; what is pending ends with an error. Idempotent.
    void close() {
        core_.network.runningHere();
        if (!open_) return;
        open_ = false;
        releaseBody();
        core_.sessions.erase(entry_);
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        wait_.cancel();
    }

    /// The route's answer, in a block posted to the network thread.
    void answer(HttpServerResponse response) {
        core_.network.runningHere();
        if (!awaiting_ || !open_) return;
        awaiting_ = false;
        wait_.cancel();
        for (auto& [name, value] : response.headers) response_.set(name, value);
        respond(response.status, std::move(response.body), response.contentType);
    }

private:
    void awaitRequest() REQUIRES(core_.network);
    /// Moves this session to the end of the eviction order (it has just begun to wait or to work), or to
    /// its front (it is done). A handler that completed just before close() may still get here.
    void reorder(bool toFront = false) REQUIRES(core_.network) {
        if (open_) core_.sessions.splice(toFront ? core_.sessions.begin() : core_.sessions.end(), core_.sessions, entry_);
    }
    void readHeader() REQUIRES(core_.network);
    void onHeader(error_code ec);
    void readBody() REQUIRES(core_.network);
    void onBody(error_code ec);
    bool holdBody(std::size_t bytes) REQUIRES(core_.network);
    void releaseBody() REQUIRES(core_.network);
    void handle() REQUIRES(core_.network);
    void refuse(HttpRefusal refusal) REQUIRES(core_.network);
    void respond(unsigned status, std::string body = {}, std::string_view contentType = {}) REQUIRES(core_.network);
    void onWrite(error_code ec);
    void lingerThenClose() REQUIRES(core_.network);
    void drain() REQUIRES(core_.network);

    HttpServerCore& core_;
    beast::tcp_stream stream_;
    asio::steady_timer wait_;  // the request's deadline while its route answers
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    std::chrono::steady_clock::time_point deadline_;    // the request's, from its first byte
    std::chrono::steady_clock::time_point bodyStart_;   // when its header was in
    const HttpRoute* route_ = nullptr;
    HttpServerRequest request_;
    std::list<HttpSession*>::iterator entry_;
    bool open_ = true;
    bool busy_ = false;      // the request is in: its route or its answer is under way
    bool awaiting_ = false;  // its route has not answered yet
    std::size_t held_ = 0;   // body bytes reserved from the core's budget
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

}  // namespace perfagent

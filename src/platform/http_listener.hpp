#pragma once

#include "platform/run_loop.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/json/object.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace perfagent {

namespace detail {
class HttpListenerCore;
}

/// @brief The texts of the operator screen's two fields.
struct ScreenFields {
    std::string useCaseName;
    std::string srNumber;
};

/// @brief What the listener delivers to the application. Every call happens on the main thread, posted
/// through RunLoop::async; none happens once the listener has been stopped.
class ListenerHandler {
public:
    virtual ~ListenerHandler() = default;
    /// A push that carried the right device token and a JSON object as its body.
    virtual void didReceiveRemoteNotification(const boost::json::object& userInfo) = 0;
    /// The fields' current texts, for the screen page.
    virtual ScreenFields screenFields() = 0;
    /// Sets the fields' texts, then runs the screen's Start action.
    virtual void screenStart(std::string useCaseName, std::string srNumber) = 0;
    /// Runs the screen's Stop action.
    virtual void screenStop() = 0;
};

/// @brief Resource bounds of the listener. The defaults suit the agent; tests shorten the timeout.
struct HttpListenerLimits {
    /// How long one request may take from its first byte being awaited to its response being written,
    /// waiting for the main thread included. A connection that runs over is closed without an answer.
    std::chrono::milliseconds requestTimeout{10'000};
    /// Connections open at once; further ones are closed as soon as they are accepted.
    std::size_t maxConnections = 64;
};

/// @brief The agent's local HTTP/1.1 listener: the screen host (the operator page and its actions) and the
/// push endpoint (`POST /remote-notification`).
///
/// It runs on its own network thread with its own io_context and never touches application objects:
/// everything it delivers is posted to the main thread with RunLoop::async. Requests that are refused
/// change nothing and print nothing on stdout; a refused push or screen action writes one line to the
/// diagnostics sink.
///
/// Construct, start(), and stop() or destroy it on the main thread (or while the main loop is not
/// running): stop() is what guarantees that no posted delivery reaches the handler afterwards.
class HttpListener {
public:
    /// Receives the listener's diagnostic lines (no line break). Called on the calling thread of start()
    /// and on the network thread, so it must be thread-safe. The default writes to stderr.
    using Diagnostics = std::function<void(std::string_view)>;

    static constexpr std::size_t kHeaderLimit = 8 * 1024;
    static constexpr std::size_t kBodyLimit = 4096;

    /// `endpoint` with port 0 listens on a free port (see port()). `deviceToken` is the lower-case hex
    /// text a push must present as `Authorization: Bearer <token>`; an empty token refuses every push.
    /// `page` is the HTML served at `/`. `handler` must outlive the listener.
    HttpListener(boost::asio::ip::tcp::endpoint endpoint, RunLoop& runLoop, std::string deviceToken, std::string page,
                 ListenerHandler& handler, Diagnostics diagnostics = {}, HttpListenerLimits limits = {});
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    /// Binds and listens, writes "perfagent: listening on http://<address>:<port>" to the diagnostics
    /// sink and starts the network thread. Returns the bind or listen error, if any (nothing is started
    /// then). Call once.
    boost::system::error_code start();

    /// Closes the acceptor and every connection, joins the network thread, and drops deliveries that
    /// were posted but have not run yet. Idempotent.
    void stop();

    /// The port listened on (the one picked when the endpoint's port was 0); 0 before start().
    unsigned short port() const { return port_; }

private:
    std::shared_ptr<detail::HttpListenerCore> core_;
    boost::asio::ip::tcp::endpoint endpoint_;
    std::thread thread_;
    unsigned short port_ = 0;
    bool started_ = false;
};

}  // namespace perfagent

#pragma once

#include "platform/url_session.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace boost::asio { class io_context; }

namespace perfagent {

/// @brief Settings of a BeastUrlSession.
struct BeastUrlSessionOptions {
    /// Time allowed for one whole exchange: resolve, connect, write and read together.
    std::chrono::milliseconds deadline = std::chrono::seconds(60);
    /// Requests waiting for their turn; one beyond this is dropped (and counted) so that a server that
    /// never answers cannot pile up buffers.
    std::size_t maxWaiting = 256;
};

/// @brief Fire-and-forget HTTP/1.1 client whose exchanges run on an Asio context: the agent's main loop,
/// so that a report goes out from the tick that made it without waking another thread. Nothing in it
/// blocks: connecting, writing and reading are all asynchronous.
///
/// Requests go out one at a time in the order started, over one persistent connection that is kept
/// while the server keeps it open and reopened when the server has closed it (a request that met a
/// connection closed before any answer is sent once more on a new one). Each carries `Host`, the
/// caller's headers in the caller's order and `Content-Length`, and is written in one gathered write.
/// A waiting request is replaced by a later one with the same coalesce key. The response is read up to
/// 64 KiB of body and thrown away. Only whether the newest exchange succeeded reaches the caller
/// (lastSucceeded); the diagnostics sink is told when requests start failing and when the server
/// answers again, judged by each request's outcome in order, so the newest decides.
///
/// The answer to a request whose answer may wait (a running report) is not awaited: the connection is
/// taken out of the reactor, so that the answer's arrival wakes nobody, and the answer is read when the
/// next request comes, and awaited then if it has not come yet. The deadline timer and shutdown read an
/// answer that no request came for.
///
/// A kept request (HttpRequest::retryFor) that gets no answer or a 5xx one goes again after a pause that
/// grows from half a second to 8 s, before any later request, until its time is over (see UploadRetry).
class BeastUrlSession final : public UrlSession {
public:
    using Options = BeastUrlSessionOptions;
    using Diagnostics = std::function<void(std::string_view)>;

    /// Counters since construction, for tests and diagnostics.
    struct Stats {
        std::uint64_t answered = 0;   ///< exchanges in which the server sent a response header
        std::uint64_t failed = 0;     ///< exchanges that ended without one (refused, timed out, malformed...)
        std::uint64_t dropped = 0;    ///< requests refused because maxWaiting were waiting
        std::uint64_t coalesced = 0;  ///< waiting requests replaced by a later one with the same key
        std::uint64_t connections = 0;  ///< connections opened
    };

    /// Exchanges run on `context`, which must outlive the session; `diagnostics` receives lines
    /// (without line break) on the thread that runs it.
    BeastUrlSession(boost::asio::io_context& context, Diagnostics diagnostics, Options options = {});
    /// Same as shutdown with no grace.
    ~BeastUrlSession() override;
    BeastUrlSession(const BeastUrlSession&) = delete;
    BeastUrlSession& operator=(const BeastUrlSession&) = delete;

    /// Queues the request on the context and returns at once. Safe from any thread. Ignored after
    /// shutdown has begun.
    void start(HttpRequest request) override;

    /// Stops taking requests, runs the context on the calling thread until the requests in flight have
    /// ended or `grace` has passed, and cancels what is left. Call it once nothing else runs the context
    /// (the main loop has returned), from the thread that ran it; later calls return at once.
    void shutdown(std::chrono::milliseconds grace);

    /// Requests started and not yet ended (waiting or exchanging).
    std::size_t inFlight() const;
    std::optional<bool> lastSucceeded() const override;
    /// On the context's thread, reads an answer left to wait first (see above).
    std::string spareBody() override;
    Stats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace perfagent

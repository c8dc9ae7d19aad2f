#pragma once

#include "platform/url_session.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace perfagent {

/// @brief Settings of a BeastUrlSession.
struct BeastUrlSessionOptions {
    /// Time allowed for one whole exchange: resolve, connect, write and read together.
    std::chrono::milliseconds deadline = std::chrono::seconds(60);
    /// Requests waiting for their turn; one beyond this is dropped (and counted) so that a server that
    /// never answers cannot pile up buffers.
    std::size_t maxWaiting = 256;
};

/// @brief Fire-and-forget HTTP/1.1 client on its own network thread.
///
/// Requests go out one at a time in the order started, over one persistent connection that is kept
/// while the server keeps it open and reopened when the server has closed it (a request that met a
/// connection closed before any answer is sent once more on a new one). Each carries `Host`, the
/// caller's headers in the caller's order and `Content-Length`. A waiting request is replaced by a
/// later one with the same coalesce key. The response is read up to 64 KiB of body and thrown away.
/// Only whether the newest exchange succeeded reaches the caller (lastSucceeded); the diagnostics sink
/// is told when requests start failing and when the server answers again, judged by each request's
/// outcome in order, so the newest decides.
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

    /// `diagnostics` receives lines (without line break) on the network thread.
    explicit BeastUrlSession(Diagnostics diagnostics, Options options = {});
    /// Same as shutdown with no grace.
    ~BeastUrlSession() override;
    BeastUrlSession(const BeastUrlSession&) = delete;
    BeastUrlSession& operator=(const BeastUrlSession&) = delete;

    /// Hands the request to the network thread and returns at once. Safe from any thread. Ignored after
    /// shutdown has begun.
    void start(HttpRequest request) override;

    /// Stops taking requests, waits at most `grace` for the requests in flight to end, cancels what is
    /// left and joins the network thread. Safe from any thread but the network thread; later calls
    /// return at once.
    void shutdown(std::chrono::milliseconds grace);

    /// Requests started and not yet ended (waiting or exchanging).
    std::size_t inFlight() const;
    std::optional<bool> lastSucceeded() const override;
    std::string spareBody() override;
    Stats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace perfagent

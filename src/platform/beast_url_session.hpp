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
    /// Exchanges open at the same time; a request beyond this is dropped (and counted as a failure)
    /// so that a server that accepts and never answers cannot pile up sockets and buffers.
    std::size_t maxConnections = 256;
    /// Receives diagnostic lines (without line break) on the network thread. Empty: standard error.
    std::function<void(std::string_view)> diagnostics{};
};

/// @brief Fire-and-forget HTTP/1.1 client on its own network thread.
///
/// Every request gets a fresh exchange on a new TCP connection (resolve, connect, write, read, close)
/// with `Host`, the caller's headers in the caller's order, `Content-Length` and `Connection: close`.
/// The response is read up to 64 KiB of body and thrown away. Nothing about an outcome reaches the
/// caller; failures are reported on the diagnostics sink once per run of failures, and the recovery
/// once when a server answers again.
class BeastUrlSession final : public UrlSession {
public:
    using Options = BeastUrlSessionOptions;

    /// Counters since construction, for tests and diagnostics.
    struct Stats {
        std::uint64_t answered = 0;  ///< exchanges in which the server sent a response header
        std::uint64_t failed = 0;    ///< exchanges that ended without one (refused, timed out, malformed...)
        std::uint64_t dropped = 0;   ///< requests refused because maxConnections were open
    };

    explicit BeastUrlSession(Options options = {});
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

    /// Requests started and not yet ended (queued for the network thread or exchanging).
    std::size_t inFlight() const;
    Stats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace perfagent

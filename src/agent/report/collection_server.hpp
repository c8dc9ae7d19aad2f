#pragma once

#include "platform/url_session.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief Where the collection server is: host (name or IPv4/IPv6 address text) and port.
struct CollectionEndpoint {
    std::string host = "127.0.0.1";
    unsigned short port = 8089;

    /// Parses "HOST" or "HOST:PORT" ("[v6]:PORT" for IPv6). Port 8089 when omitted. Returns nothing
    /// for an empty host, a bad port (0, > 65535, not digits) or characters that cannot stand in a URL
    /// authority.
    static std::optional<CollectionEndpoint> parse(std::string_view text);
};

/// How long a report that no later one replaces (a measurement's final report) is sent again while the
/// server answers 5xx or cannot be reached.
inline constexpr std::chrono::seconds kKeptReportRetry{60};

/// @brief The three requests the agent sends to the collection server, fire-and-forget.
class CollectionServer {
public:
    CollectionServer(UrlSession& session, CollectionEndpoint endpoint)
        : session_(session), endpoint_(std::move(endpoint)) {}

    /// Whether a request to `path` can be addressed: a valid host, a port and a plain absolute path.
    bool addressable(std::string_view path) const;
    /// Sends one request; silently skipped when no address can be formed. Returns at once.
    void sendCollectionRequest(std::string_view path, std::string_view method, std::optional<std::string> body,
                               std::vector<std::pair<std::string, std::string>> headers,
                               std::uint64_t coalesceKey = 0, std::chrono::milliseconds retryFor = {});
    /// POST /entry-point/json with "Content-Type" then "Accept", both "application/json". A non-zero
    /// `coalesceKey` lets a later report with the same key replace this one while it waits unsent; a report
    /// without one (a final report) is kept and sent again for kKeptReportRetry.
    void postReport(std::optional<std::string> body, std::uint64_t coalesceKey = 0);
    /// GET /entry-point/test, no body, no headers.
    void sendTestPing();
    /// POST /entry-point/devicetokentest, no headers.
    void postDeviceToken(std::optional<std::string> body);
    /// Whether the newest request to end was answered 2xx; nothing before any has ended.
    std::optional<bool> lastUploadSucceeded() const { return session_.lastSucceeded(); }
    /// A sent body's buffer to write the next report into (see UrlSession::spareBody).
    std::string spareBody() { return session_.spareBody(); }

private:
    UrlSession& session_;
    CollectionEndpoint endpoint_;
};

}  // namespace perfagent

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace perfagent {

/// @brief One HTTP/1.1 request to a host. Headers go out in this order, each exactly once.
struct HttpRequest {
    std::string host;  ///< host name or address, without port
    unsigned short port = 80;
    std::string method;
    std::string target;  ///< path
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;  ///< none: the request carries no body at all
    /// Non-zero: while this request waits unsent, a later one with the same key replaces it (the later
    /// one goes out in its own turn). For requests whose newest version says all the older ones said.
    std::uint64_t coalesceKey = 0;
    /// The caller sends another request within about a second (a running report): this one's answer
    /// may be read when that one comes, instead of waking the sender when it arrives.
    bool answerCanWait = false;
    /// Non-zero: when no answer comes or the answer is 5xx, the request goes again after a growing pause, in
    /// its turn (later ones wait), while this long has not passed since its first attempt. For a report
    /// that no later one replaces.
    std::chrono::milliseconds retryFor{0};
};

/// @brief Fire-and-forget HTTP transfers, sent one at a time in the order started; only a kept one
/// (retryFor) is sent more than once.
class UrlSession {
public:
    virtual ~UrlSession() = default;
    /// Starts the transfer and returns at once, from any thread. The response is read and discarded.
    virtual void start(HttpRequest request) = 0;
    /// Whether the newest transfer to end was answered with a 2xx status; nothing before any has ended.
    /// Safe from any thread (the brief console line shows it).
    virtual std::optional<bool> lastSucceeded() const { return std::nullopt; }
    /// The buffer of a body already sent, emptied, for the next body to be written into (a long
    /// measurement's bodies are hundreds of kilobytes each second); an empty one when there is none.
    /// Safe from any thread.
    virtual std::string spareBody() { return {}; }
};

}  // namespace perfagent

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace perfagent::testing {

/// @brief One request as the recorder received it.
struct RecordedRequest {
    std::string method;
    std::string target;
    /// Every header line in the order received, names spelled as sent.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::uint64_t> contentLength;  ///< the declared length; nothing when not declared
    std::string body;

    /// The value of the first header with this name (any letter case).
    std::optional<std::string> header(std::string_view name) const;
};

/// @brief A real HTTP/1.1 server on 127.0.0.1 that records every request. One thread serves one
/// connection at a time with blocking calls (the clients under test keep one connection); how it answers is
/// set by its mode and may change while it runs. The destructor ends the connection and joins the thread.
class HttpRecorder {
public:
    enum class Mode {
        Answer,    ///< 200 with a short text body (after the response delay, if one is set)
        Silent,    ///< reads requests and never answers; the connection stays open until the client closes it
        Garbage,   ///< answers bytes that are not HTTP, then closes
        HugeBody,  ///< answers 200 with a body of 8 MiB, then closes
    };

    /// Listens on 127.0.0.1:`port` (0: a free port chosen by the system). Throws when it cannot bind.
    explicit HttpRecorder(Mode mode = Mode::Answer, unsigned short port = 0);
    ~HttpRecorder();
    HttpRecorder(const HttpRecorder&) = delete;
    HttpRecorder& operator=(const HttpRecorder&) = delete;

    unsigned short port() const;
    void setMode(Mode mode);
    /// In Answer mode, how long to hold each response back.
    void setResponseDelay(std::chrono::milliseconds delay);

    /// The requests received so far, in the order they were complete.
    std::vector<RecordedRequest> requests() const;
    /// Waits until at least `count` requests have been received; false when `timeout` passed first.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) const;
    std::size_t connectionsAccepted() const;
    /// Waits until every accepted connection has been closed; false when `timeout` passed first.
    bool waitForConnectionsClosed(std::chrono::milliseconds timeout) const;

    /// A port on 127.0.0.1 that nothing listened on a moment ago (for "server down, then up" tests).
    static unsigned short unusedPort();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace perfagent::testing

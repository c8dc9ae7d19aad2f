#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief When a kept upload (HttpRequest::retryFor) goes once more after it failed or was answered 5xx: after
/// a pause that doubles from half a second up to 8 s, as long as the next attempt starts within its time.
/// Runs on the upload session's context.
class UploadRetry {
public:
    using Resend = std::function<void(boost::system::error_code)>;

    explicit UploadRetry(boost::asio::io_context& context) : timer_(context) {}

    /// A request begins its first attempt: kept for `retryFor` from now (zero: not kept).
    void begin(std::chrono::milliseconds retryFor);
    /// Calls `resend` after the next pause (with operation_aborted when cancelled); false, and nothing is
    /// called, when the request is not kept or its time is over.
    bool schedule(Resend resend);
    /// Whether a pause is running.
    bool waiting() const { return waiting_; }
    /// Whether the current request is kept at all.
    bool kept() const { return kept_; }
    void cancel() { timer_.cancel(); }

private:
    boost::asio::steady_timer timer_;
    std::chrono::steady_clock::time_point until_;
    std::chrono::milliseconds pause_{0};
    bool kept_ = false;
    bool waiting_ = false;
};

/// How a failed exchange is told: "unreachable: Connection refused", "did not answer within 60 s", …
/// `step` is where it failed ("resolve", "connect", "write", "read").
std::string uploadFailureText(boost::system::error_code ec, std::string_view step, bool timedOut, bool connected,
                              std::chrono::milliseconds deadline);

}  // namespace perfagent

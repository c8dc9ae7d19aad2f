#include "platform/upload_retry.hpp"

#include <boost/beast/http/error.hpp>

#include <algorithm>

namespace perfagent {

namespace {

constexpr std::chrono::milliseconds kFirstPause{500};
constexpr std::chrono::milliseconds kLongestPause{8'000};

std::string durationText(std::chrono::milliseconds d) {
    return d.count() % 1000 == 0 ? std::to_string(d.count() / 1000) + " s" : std::to_string(d.count()) + " ms";
}

}  // namespace

void UploadRetry::begin(std::chrono::milliseconds retryFor) {
    kept_ = retryFor.count() > 0;
    until_ = std::chrono::steady_clock::now() + retryFor;
    pause_ = kFirstPause;
}

bool UploadRetry::schedule(Resend resend) {
    if (!kept_ || std::chrono::steady_clock::now() + pause_ > until_) return false;
    waiting_ = true;
    timer_.expires_after(pause_);
    pause_ = std::min(pause_ * 2, kLongestPause);
    timer_.async_wait([this, resend = std::move(resend)](boost::system::error_code ec) {
        waiting_ = false;
        resend(ec);
    });
    return true;
}

std::string uploadFailureText(boost::system::error_code ec, std::string_view step, bool timedOut, bool connected,
                              std::chrono::milliseconds deadline) {
    namespace http = boost::beast::http;
    if (timedOut) {
        const auto limit = durationText(deadline);
        return connected ? "did not answer within " + limit : "unreachable: no connection within " + limit;
    }
    if (step == "resolve" || step == "connect") return "unreachable: " + ec.message();
    if (ec == http::error::end_of_stream) return "closed the connection without answering";
    if (ec.category() == http::make_error_code(http::error::bad_version).category())
        return "sent a malformed response: " + ec.message();
    return std::string(step) + " failed: " + ec.message();
}

}  // namespace perfagent

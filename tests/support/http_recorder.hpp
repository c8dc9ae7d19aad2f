#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace perfagent::testing {

/// @brief One request as the recorder received it.
struct RecordedRequest {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;  ///< in the order received, names as sent
    std::optional<std::uint64_t> contentLength;                ///< the declared length, if any
    std::string body;

    /// The value of the first header with this name (any letter case).
    std::optional<std::string> header(std::string_view name) const {
        for (const auto& [n, v] : headers)
            if (boost::beast::iequals(n, name)) return v;
        return std::nullopt;
    }
};

/// @brief A real HTTP/1.1 server on 127.0.0.1 that records every request. Its thread serves one
/// connection at a time with blocking calls (the clients under test keep one); the mode says how it
/// answers and may change while it runs.
class HttpRecorder {
public:
    enum class Mode {
        Answer,    ///< 200 with a short body, after the response delay
        Silent,    ///< never answers; the connection stays open until the client closes it
        Garbage,   ///< answers bytes that are not HTTP, then closes
        HugeBody,  ///< answers 200 with a body of 8 MiB, then closes
    };

    /// Listens on 127.0.0.1:`port` (0: a free port). Throws when it cannot bind.
    explicit HttpRecorder(Mode mode = Mode::Answer, unsigned short port = 0) : mode_(mode) {
        const tcp::endpoint endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(boost::asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpRecorder() {
        // shutdown(2) wakes the blocking accept or read on the recorder's thread.
        stopping_ = true;
        ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
        if (const int fd = connection_; fd >= 0) ::shutdown(fd, SHUT_RDWR);
        thread_.join();
    }

    unsigned short port() const { return port_; }
    void setMode(Mode mode) { mode_ = mode; }
    void setResponseDelay(std::chrono::milliseconds delay) { delay_ = delay; }
    std::vector<RecordedRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::size_t connectionsAccepted() const {
        std::lock_guard lock(mutex_);
        return accepted_;
    }
    /// Waits until `count` requests have arrived; false when `timeout` passed first.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    }
    /// Waits until no connection is open; false when `timeout` passed first.
    bool waitForConnectionsClosed(std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return !open_; });
    }

    /// A port on 127.0.0.1 that nothing listened on a moment ago.
    static unsigned short unusedPort() {
        boost::asio::io_context context;
        return tcp::acceptor(context, {boost::asio::ip::make_address_v4("127.0.0.1"), 0}).local_endpoint().port();
    }

private:
    using tcp = boost::asio::ip::tcp;
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void serve() {
        while (!stopping_) {
            boost::beast::error_code ec;
            tcp::socket socket(context_);
            acceptor_.accept(socket, ec);
            if (ec || stopping_) return;
            connection_ = socket.native_handle();
            update([&] { ++accepted_, open_ = true; });
            if (!stopping_) converse(socket);
            connection_ = -1;
            socket.shutdown(tcp::socket::shutdown_send, ec);
            socket.close(ec);
            update([&] { open_ = false; });
        }
    }

    /// Records requests and answers each as the mode says, until either side ends the connection.
    void converse(tcp::socket& socket) {
        boost::beast::flat_buffer buffer;
        for (boost::beast::error_code ec;;) {
            Parser parser;
            parser.body_limit(64 << 20);
            boost::beast::http::read(socket, buffer, parser, ec);
            if (ec) return;
            auto& message = parser.get();
            RecordedRequest request{std::string(message.method_string()), std::string(message.target()), {},
                                    {}, std::move(message.body())};
            if (parser.content_length()) request.contentLength = *parser.content_length();
            for (const auto& field : message) request.headers.emplace_back(field.name_string(), field.value());
            update([&] { requests_.push_back(std::move(request)); });

            const Mode mode = mode_;
            if (mode == Mode::Silent) continue;  // the next read ends when the client gives up
            if (mode == Mode::Garbage) {
                boost::asio::write(socket, boost::asio::buffer(std::string_view("\x16\x03\x01 not HTTP\r\n\r\n")), ec);
                return;
            }
            const bool huge = mode == Mode::HugeBody, keep = !huge && message.keep_alive();
            std::this_thread::sleep_for(delay_.load());
            Response response(boost::beast::http::status::ok, 11, huge ? std::string(8 << 20, 'x') : "recorded\n");
            response.keep_alive(keep);
            response.prepare_payload();
            boost::beast::http::write(socket, response, ec);
            if (ec || !keep) return;
        }
    }

    template <typename Change>
    void update(Change change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    std::atomic<Mode> mode_;
    std::atomic<std::chrono::milliseconds> delay_{};
    std::atomic<bool> stopping_{false};
    std::atomic<int> connection_{-1};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;  // guarded by mutex_, as the two below
    std::size_t accepted_ = 0;
    bool open_ = false;
    unsigned short port_ = 0;
    boost::asio::io_context context_;
    tcp::acceptor acceptor_{context_};
    std::thread thread_;
};

}  // namespace perfagent::testing

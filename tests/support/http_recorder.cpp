#include "support/http_recorder.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace perfagent::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (beast::iequals(n, name)) return v;
    return std::nullopt;
}

struct HttpRecorder::Impl {
    Impl(Mode initialMode, unsigned short requestedPort) : mode(initialMode) {
        const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), requestedPort);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
        port = acceptor.local_endpoint().port();
        thread = std::thread([this] { serve(); });
    }

    ~Impl() {
        // shutdown(2) wakes the blocking accept or read on the recorder's thread.
        stopping = true;
        ::shutdown(acceptor.native_handle(), SHUT_RDWR);
        if (const int fd = connection.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
        thread.join();
    }

    void serve() {
        while (!stopping) {
            beast::error_code ec;
            tcp::socket socket(context);
            acceptor.accept(socket, ec);
            if (ec || stopping) return;
            connection = socket.native_handle();
            update([&] { ++accepted, ++open; });
            if (!stopping) converse(socket);
            connection = -1;
            socket.shutdown(tcp::socket::shutdown_send, ec);
            socket.close(ec);
            update([&] { --open; });
        }
    }

    /// Reads requests and answers each as the mode says, until either side ends the connection.
    void converse(tcp::socket& socket) {
        beast::flat_buffer buffer;
        beast::error_code ec;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(64 * 1024 * 1024);
            http::read(socket, buffer, parser, ec);
            if (ec) return;
            auto& message = parser.get();
            RecordedRequest request{std::string(message.method_string()), std::string(message.target()), {},
                                    parser.content_length() ? std::optional(*parser.content_length()) : std::nullopt,
                                    std::move(message.body())};
            for (const auto& field : message) request.headers.emplace_back(field.name_string(), field.value());
            update([&] { requests.push_back(std::move(request)); });

            switch (mode.load()) {
            case Mode::Silent: continue;  // the next read ends when the client gives up and closes
            case Mode::Garbage:
                asio::write(socket, asio::buffer(std::string_view("\x16\x03\x01 this is not HTTP\r\n\r\n")), ec);
                return;
            case Mode::HugeBody: {
                http::response<http::string_body> huge(http::status::ok, 11, std::string(8 << 20, 'x'));
                huge.keep_alive(false);
                huge.prepare_payload();
                http::write(socket, huge, ec);
                return;
            }
            case Mode::Answer: break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
            http::response<http::string_body> response(http::status::ok, 11, "recorded\n");
            response.keep_alive(message.keep_alive());
            response.prepare_payload();
            http::write(socket, response, ec);
            if (ec || !message.keep_alive()) return;
        }
    }

    template <typename Change>
    void update(Change change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }

    template <typename Predicate>
    bool wait(std::chrono::milliseconds timeout, Predicate predicate) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }

    std::atomic<Mode> mode;
    std::atomic<std::int64_t> delayMs{0};
    std::atomic<bool> stopping{false};
    std::atomic<int> connection{-1};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<RecordedRequest> requests;  // guarded by mutex
    std::size_t accepted = 0;               // guarded by mutex
    std::size_t open = 0;                   // guarded by mutex

    unsigned short port = 0;
    asio::io_context context;
    tcp::acceptor acceptor{context};
    std::thread thread;
};

HttpRecorder::HttpRecorder(Mode mode, unsigned short port) : impl_(std::make_unique<Impl>(mode, port)) {}
HttpRecorder::~HttpRecorder() = default;
unsigned short HttpRecorder::port() const { return impl_->port; }
void HttpRecorder::setMode(Mode mode) { impl_->mode.store(mode); }
void HttpRecorder::setResponseDelay(std::chrono::milliseconds delay) { impl_->delayMs.store(delay.count()); }

std::vector<RecordedRequest> HttpRecorder::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

bool HttpRecorder::waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->requests.size() >= count; });
}

std::size_t HttpRecorder::connectionsAccepted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->accepted;
}

bool HttpRecorder::waitForConnectionsClosed(std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->open == 0; });
}

unsigned short HttpRecorder::unusedPort() {
    asio::io_context context;
    tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

}  // namespace perfagent::testing

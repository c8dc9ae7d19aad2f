#include "support/http_recorder.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

namespace perfagent::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::uint64_t kRequestBodyLimit = 64 * 1024 * 1024;

constexpr std::string_view kGarbage = "\x16\x03\x01\x02 this is not HTTP at all\r\n\r\n";

const std::string& hugeResponse() {
    static const std::string text = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                    std::to_string(HttpRecorder::kHugeBodyBytes) + "\r\nConnection: close\r\n\r\n" +
                                    std::string(HttpRecorder::kHugeBodyBytes, 'x');
    return text;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (beast::iequals(n, name)) return v;
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
    std::size_t count = 0;
    for (const auto& entry : headers)
        if (beast::iequals(entry.first, name)) ++count;
    return count;
}

struct HttpRecorder::Impl {
    class Connection;

    Impl(Mode initialMode, unsigned short requestedPort) : mode(initialMode) {
        const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), requestedPort);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(asio::socket_base::max_listen_connections);
        port = acceptor.local_endpoint().port();
        accept();
        thread = std::thread([this] {
            for (;;) {
                try {
                    context.run();
                    return;
                } catch (const std::exception&) {
                    // A failing handler loses its connection only; keep serving the others.
                }
            }
        });
    }

    ~Impl() {
        asio::post(context, [this] { stop(); });
        thread.join();
    }

    void accept();
    void stop();

    void record(RecordedRequest request) {
        {
            std::lock_guard lock(mutex);
            requests.push_back(std::move(request));
        }
        changed.notify_all();
    }

    std::atomic<Mode> mode;
    std::atomic<std::int64_t> delayMs{0};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<RecordedRequest> requests;  // guarded by mutex
    std::size_t accepted = 0;               // guarded by mutex
    std::size_t open = 0;                   // guarded by mutex

    std::unordered_set<Connection*> live;  // recorder thread only
    unsigned short port = 0;
    asio::io_context context{1};
    tcp::acceptor acceptor{context};
    std::thread thread;
};

/// One accepted connection: reads requests one after another and answers each as the mode says.
class HttpRecorder::Impl::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Impl& impl, tcp::socket socket) : impl_(impl), socket_(std::move(socket)), delay_(impl.context) {
        impl_.live.insert(this);
    }

    ~Connection() {
        impl_.live.erase(this);
        {
            std::lock_guard lock(impl_.mutex);
            --impl_.open;
        }
        impl_.changed.notify_all();
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void read() {
        parser_.emplace();
        parser_->header_limit(64 * 1024);
        parser_->body_limit(kRequestBodyLimit);
        http::async_read(socket_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

    void stop() {
        delay_.cancel();
        close();
    }

private:
    void on_read(beast::error_code ec) {
        if (ec) return close();  // the client closed, or sent something that is not a request
        auto& message = parser_->get();
        RecordedRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.version = message.version();
        for (const auto& field : message) request.headers.emplace_back(field.name_string(), field.value());
        if (const auto length = parser_->content_length()) request.contentLength = *length;
        request.body = std::move(message.body());
        keepAlive_ = message.keep_alive();
        impl_.record(std::move(request));

        switch (impl_.mode.load()) {
            case Mode::Silent:
                return read();  // the next read ends when the client gives up and closes
            case Mode::Garbage:
                return writeAndClose(kGarbage);
            case Mode::HugeBody:
                return writeAndClose(hugeResponse());
            case Mode::Answer:
                break;
        }
        const auto delay = std::chrono::milliseconds(impl_.delayMs.load());
        if (delay.count() == 0) return answer();
        delay_.expires_after(delay);
        delay_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec) return self->close();
            self->answer();
        });
    }

    void answer() {
        response_.emplace(http::status::ok, 11);
        response_->set(http::field::content_type, "text/plain");
        response_->body() = "recorded\n";
        response_->keep_alive(keepAlive_);
        response_->prepare_payload();
        http::async_write(socket_, *response_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec || !self->keepAlive_) return self->close();
            self->read();
        });
    }

    void writeAndClose(std::string_view bytes) {
        asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
                          [self = shared_from_this()](beast::error_code, std::size_t) { self->close(); });
    }

    void close() {
        beast::error_code ignored;
        if (!socket_.is_open()) return;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        socket_.close(ignored);
    }

    Impl& impl_;
    tcp::socket socket_;
    asio::steady_timer delay_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    bool keepAlive_ = false;
};

void HttpRecorder::Impl::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (!acceptor.is_open()) return;
        if (!ec) {
            {
                std::lock_guard lock(mutex);
                ++accepted;
                ++open;
            }
            changed.notify_all();
            std::make_shared<Connection>(*this, std::move(socket))->read();
        }
        accept();
    });
}

void HttpRecorder::Impl::stop() {
    beast::error_code ignored;
    acceptor.close(ignored);
    std::vector<std::shared_ptr<Connection>> connections;
    for (auto* connection : live) connections.push_back(connection->shared_from_this());
    for (auto& connection : connections) connection->stop();
}

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
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

std::size_t HttpRecorder::connectionsAccepted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->accepted;
}

bool HttpRecorder::waitForConnectionsClosed(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->open == 0; });
}

unsigned short HttpRecorder::unusedPort() {
    asio::io_context context;
    tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

}  // namespace perfagent::testing

#include "platform/beast_url_session.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace perfagent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

/// Response bodies are read only to end the exchange cleanly; anything larger ends it early.
constexpr std::uint64_t kResponseBodyLimit = 64 * 1024;

std::string authorityText(const std::string& host, unsigned short port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string durationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

void writeToStderr(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

struct BeastUrlSession::Impl {
    class Exchange;

    /// One request's share of the in-flight count, released however the request ends: after its
    /// exchange, when it is dropped, or when a handler that was never run is destroyed.
    class Ticket {
    public:
        explicit Ticket(Impl& impl) : impl_(&impl) { impl.inFlight.fetch_add(1); }
        Ticket(Ticket&& other) noexcept : impl_(std::exchange(other.impl_, nullptr)) {}
        Ticket& operator=(Ticket&&) = delete;
        ~Ticket() {
            if (impl_) impl_->release();
        }

    private:
        Impl* impl_;
    };

    explicit Impl(Options opts) : options(std::move(opts)) {
        if (!options.diagnostics) options.diagnostics = writeToStderr;
        if (options.maxConnections == 0) options.maxConnections = 1;
        work.emplace(asio::make_work_guard(context));
        thread = std::thread([this] { runNetworkThread(); });
    }

    void runNetworkThread() {
        for (;;) {
            try {
                context.run();
                return;
            } catch (const std::exception& e) {
                options.diagnostics(std::string("perfagent: network thread: ") + e.what());
            }
        }
    }

    void submit(HttpRequest request) {
        if (!accepting.load()) return;
        asio::post(context, [this, request = std::move(request), ticket = Ticket(*this)]() mutable {
            begin(std::move(request), std::move(ticket));
        });
    }

    // Network thread.
    void begin(HttpRequest request, Ticket ticket);

    void release() {
        if (inFlight.fetch_sub(1) == 1) {
            std::lock_guard lock(idleMutex);
            idle.notify_all();
        }
    }

    /// A failure is told once per run of failures towards the same server; the run ends with the next
    /// answer from it. Network thread.
    void noteFailure(const std::string& authority, const std::string& reason) {
        if (failing.insert(authority).second) options.diagnostics("perfagent: collection server " + authority + " " + reason);
    }
    void noteAnswer(const std::string& authority) {
        answered.fetch_add(1);
        if (failing.erase(authority) > 0) options.diagnostics("perfagent: collection server " + authority + " answering again");
    }

    void shutdown(std::chrono::milliseconds grace);

    Options options;

    // Declared before the context: handlers destroyed with the context still release their tickets.
    std::atomic<std::size_t> inFlight{0};
    std::atomic<std::uint64_t> answered{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> dropped{0};
    std::mutex idleMutex;
    std::condition_variable idle;
    std::atomic<bool> accepting{true};
    std::mutex shutdownMutex;
    bool shutDown = false;  // guarded by shutdownMutex

    // Network thread only.
    bool cancelling = false;
    std::unordered_set<Exchange*> open;
    std::unordered_set<std::string> failing;  // authorities in a run of failures

    asio::io_context context{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
};

/// One request from resolve to close. Lives on the network thread, kept alive by its pending handlers.
class BeastUrlSession::Impl::Exchange : public std::enable_shared_from_this<Exchange> {
public:
    Exchange(Impl& impl, HttpRequest request, Ticket ticket)
        : impl_(impl),
          ticket_(std::move(ticket)),
          host_(std::move(request.host)),
          port_(request.port),
          authority_(authorityText(host_, port_)),
          resolver_(impl.context),
          socket_(impl.context),
          deadline_(impl.context) {
        request_.version(11);
        request_.method_string(request.method);
        request_.target(request.target);
        request_.set(http::field::host, authority_);
        for (const auto& [name, value] : request.headers) request_.insert(name, value);
        if (request.body) request_.body() = std::move(*request.body);
        request_.content_length(request_.body().size());
        request_.set(http::field::connection, "close");
        impl_.open.insert(this);
    }

    ~Exchange() { impl_.open.erase(this); }

    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    void run() {
        deadline_.expires_after(impl_.options.deadline);
        deadline_.async_wait([self = shared_from_this()](beast::error_code ec) { self->on_deadline(ec); });

        // An address needs no lookup (and a lookup would occupy the resolver's own thread).
        beast::error_code ec;
        const auto address = asio::ip::make_address(host_, ec);
        if (!ec) {
            socket_.async_connect(tcp::endpoint(address, port_),
                                  [self = shared_from_this()](beast::error_code ec) { self->on_connect(ec); });
            return;
        }
        resolver_.async_resolve(host_, std::to_string(port_), tcp::resolver::numeric_service,
                                [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type results) {
                                    self->on_resolve(ec, std::move(results));
                                });
    }

    /// Ends the exchange without a diagnostic (the client is shutting down).
    void cancel() {
        cancelled_ = true;
        close();
    }

private:
    void on_resolve(beast::error_code ec, tcp::resolver::results_type results) {
        if (ec) return fail(ec, "resolve");
        asio::async_connect(socket_, results,
                            [self = shared_from_this()](beast::error_code ec, const tcp::endpoint&) { self->on_connect(ec); });
    }

    void on_connect(beast::error_code ec) {
        if (ec) return fail(ec, "connect");
        connected_ = true;
        http::async_write(socket_, request_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_write(ec); });
    }

    void on_write(beast::error_code ec) {
        if (ec) return fail(ec, "write");
        parser_.body_limit(kResponseBodyLimit);
        http::async_read(socket_, buffer_, parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(beast::error_code ec) {
        // A response header is an answer, whatever its status; an oversized body is simply not read.
        if (parser_.is_header_done()) {
            done_ = true;
            close();
            impl_.noteAnswer(authority_);
            return;
        }
        if (ec) return fail(ec, "read");
    }

    void on_deadline(beast::error_code ec) {
        if (ec || done_) return;
        timedOut_ = true;
        close();  // the pending step completes with operation_aborted and reports the timeout
    }

    void fail(beast::error_code ec, const char* step) {
        if (done_) return;
        done_ = true;
        close();
        if (cancelled_) return;
        impl_.failed.fetch_add(1);
        impl_.noteFailure(authority_, reason(ec, step));
    }

    std::string reason(beast::error_code ec, std::string_view step) const {
        const auto limit = durationText(impl_.options.deadline);
        if (timedOut_) return connected_ ? "did not answer within " + limit : "unreachable: no connection within " + limit;
        if (step == "resolve" || step == "connect") return "unreachable: " + ec.message();
        if (ec == http::error::end_of_stream) return "closed the connection without answering";
        if (ec.category() == beast::http::make_error_code(http::error::bad_version).category())
            return "sent a malformed response: " + ec.message();
        return std::string(step) + " failed: " + ec.message();
    }

    /// Closes the connection and stops the clock; a step still pending completes with operation_aborted.
    void close() {
        beast::error_code ignored;
        deadline_.cancel();
        resolver_.cancel();
        if (socket_.is_open()) {
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
            socket_.close(ignored);
        }
    }

    Impl& impl_;
    Ticket ticket_;
    std::string host_;
    unsigned short port_;
    std::string authority_;
    tcp::resolver resolver_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    http::request<http::string_body> request_;
    beast::flat_buffer buffer_;
    http::response_parser<http::string_body> parser_;
    bool connected_ = false;
    bool timedOut_ = false;
    bool cancelled_ = false;
    bool done_ = false;
};

void BeastUrlSession::Impl::begin(HttpRequest request, Ticket ticket) {
    if (cancelling) return;
    if (open.size() >= options.maxConnections) {
        dropped.fetch_add(1);
        noteFailure(authorityText(request.host, request.port),
                    "not answering fast enough: " + std::to_string(options.maxConnections) +
                        " requests open, dropping new ones");
        return;
    }
    std::make_shared<Exchange>(*this, std::move(request), std::move(ticket))->run();
}

void BeastUrlSession::Impl::shutdown(std::chrono::milliseconds grace) {
    std::lock_guard guard(shutdownMutex);
    if (shutDown) return;
    shutDown = true;
    accepting.store(false);
    {
        std::unique_lock lock(idleMutex);
        idle.wait_for(lock, grace, [this] { return inFlight.load() == 0; });
    }
    // Requests posted before this block still run first (and are cancelled here); later ones are dropped.
    asio::post(context, [this] {
        cancelling = true;
        std::vector<std::shared_ptr<Exchange>> live;
        for (auto* exchange : open) live.push_back(exchange->shared_from_this());
        for (auto& exchange : live) exchange->cancel();
    });
    work.reset();
    if (thread.joinable()) thread.join();
}

BeastUrlSession::BeastUrlSession(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

BeastUrlSession::~BeastUrlSession() { impl_->shutdown(std::chrono::milliseconds(0)); }

void BeastUrlSession::start(HttpRequest request) { impl_->submit(std::move(request)); }

void BeastUrlSession::shutdown(std::chrono::milliseconds grace) { impl_->shutdown(grace); }

std::size_t BeastUrlSession::inFlight() const { return impl_->inFlight.load(); }

BeastUrlSession::Stats BeastUrlSession::stats() const {
    return Stats{impl_->answered.load(), impl_->failed.load(), impl_->dropped.load()};
}

}  // namespace perfagent

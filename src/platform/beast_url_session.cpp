#include "platform/beast_url_session.hpp"
#include "platform/listen_address.hpp"

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
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>

namespace perfagent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

/// Response bodies are read only to end the exchange cleanly; anything larger ends it early.
constexpr std::uint64_t kResponseBodyLimit = 64 * 1024;

std::string durationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

}  // namespace

struct BeastUrlSession::Impl {
    /// One request's share of the in-flight count, released however the request ends: after its
    /// exchange, when it is dropped or replaced, or when a handler that was never run is destroyed.
    class Ticket {
    public:
        explicit Ticket(Impl& impl) : impl_(&impl) { impl.inFlight.fetch_add(1); }
        Ticket(Ticket&& other) noexcept : impl_(std::exchange(other.impl_, nullptr)) {}
        Ticket& operator=(Ticket&& other) noexcept {
            std::swap(impl_, other.impl_);
            return *this;
        }
        ~Ticket() {
            if (impl_) impl_->release();
        }

    private:
        Impl* impl_;
    };

    struct Pending {
        HttpRequest request;
        Ticket ticket;
    };

    Impl(Diagnostics sink, Options opts) : diagnostics(std::move(sink)), options(opts) {
        if (!diagnostics) diagnostics = [](std::string_view) {};
        if (options.maxWaiting == 0) options.maxWaiting = 1;
        work.emplace(asio::make_work_guard(context));
        thread = std::thread([this] { runNetworkThread(); });
    }

    void runNetworkThread() {
        for (;;) {
            try {
                context.run();
                return;
            } catch (const std::exception& e) {
                diagnostics(std::string("perfagent: network thread: ") + e.what());
            }
        }
    }

    void submit(HttpRequest request) {
        // The check and the count go together, so that shutdown either sees this request counted (and
        // queued ahead of its cancellation) or refuses it.
        std::lock_guard lock(acceptMutex);
        if (!accepting) return;
        asio::post(context, [this, request = std::move(request), ticket = Ticket(*this)]() mutable {
            enqueue(Pending{std::move(request), std::move(ticket)});
        });
    }

    void release() {
        if (inFlight.fetch_sub(1) == 1) {
            std::lock_guard lock(idleMutex);
            idle.notify_all();
        }
    }

    // Network thread from here on.

    void enqueue(Pending pending) {
        if (cancelling) return;
        if (const auto key = pending.request.coalesceKey; key != 0) {
            for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                if (it->request.coalesceKey != key) continue;
                waiting.erase(it);
                coalesced.fetch_add(1);
                break;  // at most one waits per key
            }
        }
        if (waiting.size() >= options.maxWaiting) {
            dropped.fetch_add(1);
            if (!overflowTold) {
                overflowTold = true;
                diagnostics("perfagent: collection server " +
                            authorityText(pending.request.host, pending.request.port) + " not answering fast enough: " +
                            std::to_string(options.maxWaiting) + " requests waiting, dropping new ones");
            }
            return;
        }
        waiting.push_back(std::move(pending));
        if (!current) startNext();
    }

    void startNext() {
        if (cancelling || waiting.empty()) return;
        current.emplace(std::move(waiting.front()));
        waiting.pop_front();
        if (waiting.empty()) overflowTold = false;
        HttpRequest& request = current->request;
        authority = authorityText(request.host, request.port);
        message = {};
        message.version(11);
        message.method_string(request.method);
        message.target(request.target);
        message.set(http::field::host, authority);
        for (const auto& [name, value] : request.headers) message.insert(name, value);
        if (request.body) message.body() = std::move(*request.body);
        message.content_length(message.body().size());
        retried = false;
        timedOut = false;
        deadline.expires_after(options.deadline);
        deadline.async_wait([this, exchange = ++exchanges](beast::error_code ec) {
            if (ec || exchange != exchanges || !current) return;
            timedOut = true;
            closeConnection();  // the pending step completes with an error and reports the timeout
        });
        attempt();
    }

    void attempt() {
        if (socket.is_open() && connectedTo == authority) {
            reused = connected = true;
            return write();
        }
        closeConnection();
        reused = connected = false;
        const HttpRequest& request = current->request;
        // An address needs no lookup (and a lookup would occupy the resolver's own thread).
        beast::error_code ec;
        const auto address = asio::ip::make_address(request.host, ec);
        if (!ec) {
            socket.async_connect(tcp::endpoint(address, request.port),
                                 [this](beast::error_code ec) { onConnect(ec, "connect"); });
            return;
        }
        resolver.async_resolve(request.host, std::to_string(request.port), tcp::resolver::numeric_service,
                               [this](beast::error_code ec, tcp::resolver::results_type results) {
                                   if (ec) return onConnect(ec, "resolve");
                                   asio::async_connect(socket, results, [this](beast::error_code ec, const tcp::endpoint&) {
                                       onConnect(ec, "connect");
                                   });
                               });
    }

    void onConnect(beast::error_code ec, const char* step) {
        if (ec) return fail(ec, step);
        connectedTo = authority;
        connected = true;
        connections.fetch_add(1);
        write();
    }

    void write() {
        buffer.clear();
        parser.emplace();
        parser->body_limit(kResponseBodyLimit);
        http::async_write(socket, message, [this](beast::error_code ec, std::size_t) {
            if (ec) return failOrRetry(ec, "write");
            http::async_read(socket, buffer, *parser, [this](beast::error_code ec, std::size_t) { onRead(ec); });
        });
    }

    void onRead(beast::error_code ec) {
        // A response header is an answer, whatever its status; an oversized body is simply not read.
        if (!parser->is_header_done()) return failOrRetry(ec, "read");
        const bool keep = !ec && parser->is_done() && parser->get().keep_alive();
        if (!keep) closeConnection();
        answered.fetch_add(1);
        last.store(parser->get().result_int() / 100 == 2 ? kSucceeded : kFailed);
        if (failing.erase(authority) > 0) diagnostics("perfagent: collection server " + authority + " answering again");
        endExchange();
    }

    /// A kept connection the server closed while idle fails before any byte of an answer: the request
    /// never reached it, so it goes once more on a new connection.
    void failOrRetry(beast::error_code ec, const char* step) {
        if (reused && !retried && !timedOut && !cancelling && !parser->got_some() && buffer.size() == 0) {
            retried = true;
            closeConnection();
            return attempt();
        }
        fail(ec, step);
    }

    void fail(beast::error_code ec, std::string_view step) {
        closeConnection();
        if (cancelling) return endExchange();
        failed.fetch_add(1);
        last.store(kFailed);
        if (failing.insert(authority).second)
            diagnostics("perfagent: collection server " + authority + " " + reason(ec, step));
        endExchange();
    }

    std::string reason(beast::error_code ec, std::string_view step) const {
        const auto limit = durationText(options.deadline);
        if (timedOut) return connected ? "did not answer within " + limit : "unreachable: no connection within " + limit;
        if (step == "resolve" || step == "connect") return "unreachable: " + ec.message();
        if (ec == http::error::end_of_stream) return "closed the connection without answering";
        if (ec.category() == beast::http::make_error_code(http::error::bad_version).category())
            return "sent a malformed response: " + ec.message();
        return std::string(step) + " failed: " + ec.message();
    }

    void endExchange() {
        deadline.cancel();
        // The body's buffer goes back for the next one to be written into.
        if (std::string& body = message.body(); body.capacity() > 0) {
            std::lock_guard lock(spareMutex);
            if (body.capacity() > spare.capacity()) spare = std::move(body);
            body = std::string();
        }
        current.reset();
        startNext();
    }

    void closeConnection() {
        beast::error_code ignored;
        resolver.cancel();
        if (socket.is_open()) {
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        }
        connectedTo.clear();
    }

    void shutdown(std::chrono::milliseconds grace) {
        std::lock_guard guard(shutdownMutex);
        if (shutDown) return;
        shutDown = true;
        {
            std::lock_guard lock(acceptMutex);
            accepting = false;
        }
        {
            std::unique_lock lock(idleMutex);
            idle.wait_for(lock, grace, [this] { return inFlight.load() == 0; });
        }
        // Requests posted before this block still run first (and are cancelled here).
        asio::post(context, [this] {
            cancelling = true;
            waiting.clear();
            deadline.cancel();
            closeConnection();  // a step still pending completes with an error and ends quietly
        });
        work.reset();
        if (thread.joinable()) thread.join();
    }

    Diagnostics diagnostics;
    Options options;

    // Declared before the context: handlers destroyed with the context still release their tickets.
    std::atomic<std::size_t> inFlight{0};
    std::atomic<std::uint64_t> answered{0}, failed{0}, dropped{0}, coalesced{0}, connections{0};
    enum Outcome { kNone, kSucceeded, kFailed };
    std::atomic<int> last{kNone};  // the newest exchange's outcome
    std::mutex idleMutex;
    std::condition_variable idle;
    std::mutex acceptMutex;
    bool accepting = true;  // guarded by acceptMutex
    std::mutex shutdownMutex;
    bool shutDown = false;  // guarded by shutdownMutex
    std::mutex spareMutex;
    std::string spare;  // guarded by spareMutex

    asio::io_context context{1};

    // Network thread only.
    bool cancelling = false;
    bool overflowTold = false;
    std::deque<Pending> waiting;
    std::optional<Pending> current;
    std::string authority;    // the current request's
    std::string connectedTo;  // the open connection's, empty when none is open
    http::request<http::string_body> message;
    beast::flat_buffer buffer;
    std::optional<http::response_parser<http::string_body>> parser;
    bool reused = false, retried = false, timedOut = false, connected = false;
    std::uint64_t exchanges = 0;
    std::unordered_set<std::string> failing;  // authorities whose latest request failed
    tcp::resolver resolver{context};
    tcp::socket socket{context};
    asio::steady_timer deadline{context};

    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
};

BeastUrlSession::BeastUrlSession(Diagnostics diagnostics, Options options)
    : impl_(std::make_unique<Impl>(std::move(diagnostics), options)) {}

BeastUrlSession::~BeastUrlSession() { impl_->shutdown(std::chrono::milliseconds(0)); }

void BeastUrlSession::start(HttpRequest request) { impl_->submit(std::move(request)); }

void BeastUrlSession::shutdown(std::chrono::milliseconds grace) { impl_->shutdown(grace); }

std::size_t BeastUrlSession::inFlight() const { return impl_->inFlight.load(); }

BeastUrlSession::Stats BeastUrlSession::stats() const {
    return Stats{impl_->answered.load(), impl_->failed.load(), impl_->dropped.load(), impl_->coalesced.load(),
                 impl_->connections.load()};
}

std::string BeastUrlSession::spareBody() {
    std::lock_guard lock(impl_->spareMutex);
    std::string spare = std::move(impl_->spare);
    impl_->spare = std::string();
    spare.clear();
    return spare;
}

std::optional<bool> BeastUrlSession::lastSucceeded() const {
    const int last = impl_->last.load();
    if (last == Impl::kNone) return std::nullopt;
    return last == Impl::kSucceeded;
}

}  // namespace perfagent

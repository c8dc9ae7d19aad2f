#include "platform/beast_url_session.hpp"
#include "platform/http_answer_parser.hpp"
#include "http/listen_address.hpp"
#include "base/thread_annotations.hpp"
#include "platform/upload_connection.hpp"
#include "platform/upload_retry.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

namespace perfagent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

/// Response bodies are read only to end the exchange cleanly; anything larger ends it early.
constexpr std::uint64_t kResponseBodyLimit = 64 * 1024;
constexpr std::size_t kReadChunk = 4096;

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
            if (impl_) impl_->inFlight.fetch_sub(1);
        }

    private:
        Impl* impl_;
    };

    struct Pending {
        HttpRequest request;
        Ticket ticket;
    };

    Impl(asio::io_context& io, Diagnostics sink, Options opts)
        : diagnostics(std::move(sink)), options(opts), context(io) {
        if (!diagnostics) diagnostics = [](std::string_view) {};
        if (options.maxWaiting == 0) options.maxWaiting = 1;
    }

    void submit(HttpRequest request) {
        MutexLock lock(acceptMutex);
        if (!accepting) return;
        Pending pending{std::move(request), Ticket(*this)};
        // On the context's own thread (the agent's main loop) the request joins the queue at once, unless
        // one posted from elsewhere is still on its way: requests stay in the order started.
        if (posted.load() == 0 && context.get_executor().running_in_this_thread()) {
            lock.unlock();
            return enqueue(std::move(pending));
        }
        // Elsewhere the check and the post go together, so that a request is either refused or queued
        // ahead of shutdown's cancellation.
        posted.fetch_add(1);
        asio::post(context, [this, pending = std::move(pending)]() mutable {
            posted.fetch_sub(1);
            enqueue(std::move(pending));
        });
    }

    // The context's thread from here on.

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
        if (current && connection.isParked()) return collect();  // the answer left to wait ends the exchange now
        if (!current) startNext();
    }

    void startNext() {
        if (cancelling || waiting.empty()) return;
        current.emplace(std::move(waiting.front()));
        waiting.pop_front();
        if (waiting.empty()) overflowTold = false;
        HttpRequest& request = current->request;
        authority = authorityText(request.host, request.port);
        if (request.body) body = std::move(*request.body);
        else body.clear();
        head.clear();
        head.append(request.method).append(" ").append(request.target).append(" HTTP/1.1\r\nHost: ").append(authority);
        for (const auto& [name, value] : request.headers) head.append("\r\n").append(name).append(": ").append(value);
        head.append("\r\nContent-Length: ").append(std::to_string(body.size())).append("\r\n\r\n");
        retry.begin(request.retryFor);
        send();
    }

    /// One attempt at the current request.
    void send() {
        retried = false;
        timedOut = false;
        began = std::chrono::steady_clock::now();
        if (!deadlineArmed) armDeadline(began + options.deadline);
        attempt();
    }

    /// One timer serves every exchange: it is armed for the oldest running exchange's end and, when it
    /// fires early for a newer one, armed again for that one's end, instead of being set and cancelled
    /// for each request.
    void armDeadline(std::chrono::steady_clock::time_point at) {
        deadlineArmed = true;
        deadline.expires_at(at);
        deadline.async_wait([this](beast::error_code ec) {
            deadlineArmed = false;
            if (ec || cancelling || !current || retry.waiting()) return;
            if (connection.isParked()) collect();  // an answer left to wait is read before the exchange is judged
            if (!current || deadlineArmed) return;  // it ended, and the next one armed the timer
            if (const auto due = began + options.deadline; std::chrono::steady_clock::now() < due) return armDeadline(due);
            timedOut = true;
            closeConnection();  // the pending step completes with an error and reports the timeout
        });
    }

    void attempt() {
        if (connection.isOpen() && connectedTo == authority && connection.stillOpen()) {
            reused = connected = true;
            return write();
        }
        closeConnection();
        reused = connected = false;
        const HttpRequest& request = current->request;
        // An address needs no lookup (and a lookup would occupy the resolver's own thread).
        beast::error_code ec;
        const auto address = asio::ip::make_address(request.host, ec);
        auto& socket = connection.socket();
        if (!ec)
            return socket.async_connect(tcp::endpoint(address, request.port), [this](beast::error_code ec) { onConnect(ec, "connect"); });
        resolver.async_resolve(request.host, std::to_string(request.port), tcp::resolver::numeric_service,
                               [this, &socket](beast::error_code ec, tcp::resolver::results_type results) {
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
        connection.connected();
        connections.fetch_add(1);
        write();
    }

    void write() {
        buffer.clear();
        parser.emplace();
        parser->body_limit(kResponseBodyLimit);
        // Written at once, as it usually fits the socket's buffer, a request needs no completion handler;
        // what does not fit goes on asynchronously. An answer that may wait is not awaited (see collect).
        beast::error_code ec;
        const std::size_t done = connection.writeNow({asio::buffer(head), asio::buffer(body)}, ec);
        if (ec && ec != asio::error::would_block) return failOrRetry(ec, "write");
        const bool whole = done == head.size() + body.size();
        if (whole && current->request.answerCanWait && waiting.empty() && connection.park()) return;
        if (!connection.unpark(ec)) return fail(ec, "write");
        if (whole) return read();
        const std::size_t ofHead = std::min(done, head.size());
        const std::array rest{asio::buffer(head) + ofHead, asio::buffer(body) + (done - ofHead)};
        asio::async_write(connection.socket(), rest, [this](beast::error_code ec, std::size_t) {
            if (ec) return failOrRetry(ec, "write");
            read();
        });
    }

    /// Reads what the socket has and hands it to the parser, until the response is whole.
    void read() {
        connection.socket().async_read_some(buffer.prepare(kReadChunk), [this](beast::error_code ec, std::size_t n) {
            if (!received(ec, n)) read();
        });
    }

    /// Hands `n` more bytes read (or the read's error) to the parser; true when that ended the exchange.
    bool received(beast::error_code ec, std::size_t n) {
        buffer.commit(n);
        if (ec == asio::error::eof && !parser->got_some() && buffer.size() == 0) ec = http::error::end_of_stream;
        else if (ec == asio::error::eof) {
            ec = {};
            parser->put_eof(ec);  // ends a body that runs to the end of the stream; else a partial message
        }
        while (!ec && buffer.size() > 0 && !parser->is_done()) {
            buffer.consume(parser->put(buffer.data(), ec));
            if (ec == http::error::need_more) {
                ec = {};
                break;
            }
        }
        if (!ec && !parser->is_done()) return false;
        onRead(ec);
        return true;
    }

    /// Reads the parked connection's answer as far as it has come: the exchange ends when it is whole;
    /// otherwise the connection goes back to the reactor and the rest is awaited there.
    void collect() {
        for (;;) {
            beast::error_code ec;
            const std::size_t n = connection.readNow(buffer.prepare(kReadChunk), ec);
            if (ec == asio::error::would_block) break;
            if (received(ec, n)) return;
        }
        beast::error_code ec;
        if (!connection.unpark(ec)) return fail(ec, "read");
        read();
    }

    void onRead(beast::error_code ec) {
        // A response header is an answer, whatever its status; an oversized body is simply not read.
        if (!parser->is_header_done()) return failOrRetry(ec, "read");
        const bool keep = !ec && parser->is_done() && parser->keep_alive();
        if (!keep) closeConnection();
        answered.fetch_add(1);
        last.store(parser->status() / 100 == 2 ? kSucceeded : kFailed);
        if (failing.erase(authority) > 0) diagnostics("perfagent: collection server " + authority + " answering again");
        if (parser->status() / 100 == 5 && retryLater()) return;
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
            diagnostics("perfagent: collection server " + authority + " " +
                        uploadFailureText(ec, step, timedOut, connected, options.deadline));
        if (!retryLater()) endExchange();
    }

    /// A kept request that failed goes again after a pause, before later ones; false: not kept, or time is over.
    bool retryLater() {
        if (retry.schedule([this](beast::error_code ec) { ec || cancelling ? endExchange() : send(); })) return true;
        if (retry.kept()) diagnostics("perfagent: collection server " + authority + ": a final report given up unsent");
        return false;
    }

    void endExchange() {
        // The body's buffer goes back for the next one to be written into.
        if (body.capacity() > 0) {
            MutexLock lock(spareMutex);
            if (body.capacity() > spare.capacity()) spare = std::move(body);
            body = std::string();
        }
        current.reset();
        startNext();
    }

    void closeConnection() {
        resolver.cancel();
        connection.close();
        connectedTo.clear();
    }

    void shutdown(std::chrono::milliseconds grace) {
        {
            MutexLock lock(acceptMutex);
            if (!accepting) return;
            accepting = false;
        }
        // Nothing else runs the context now: this thread runs it until the requests end or time is up.
        context.restart();
        if (current && connection.isParked()) collect();
        const auto until = std::chrono::steady_clock::now() + grace;
        while (inFlight.load() != 0 && context.run_one_until(until) != 0) {
        }
        cancelling = true;
        waiting.clear();
        closeConnection();  // a step still pending completes with an error and ends quietly
        if (inFlight.load() == 0 && !deadlineArmed) return;  // none of this session's handlers is left
        deadline.cancel();
        retry.cancel();
        context.restart();
        context.poll();
    }

    Diagnostics diagnostics;
    Options options;

    // Declared before the context: handlers destroyed with the context still release their tickets.
    std::atomic<std::size_t> inFlight{0};
    std::atomic<std::size_t> posted{0};  // requests posted to the context and not yet queued
    std::atomic<std::uint64_t> answered{0}, failed{0}, dropped{0}, coalesced{0}, connections{0};
    enum Outcome { kNone, kSucceeded, kFailed };
    std::atomic<int> last{kNone};  // the newest exchange's outcome
    Mutex acceptMutex;
    bool accepting GUARDED_BY(acceptMutex) = true;
    Mutex spareMutex;
    std::string spare GUARDED_BY(spareMutex);

    asio::io_context& context;

    // The context's thread only.
    bool cancelling = false;
    bool overflowTold = false;
    std::deque<Pending> waiting;
    std::optional<Pending> current;
    std::string authority;    // the current request's
    std::string connectedTo;  // the open connection's, empty when none is open
    std::string head;  // request line and header fields of the current request
    std::string body;
    std::chrono::steady_clock::time_point began;  // of the current exchange
    bool deadlineArmed = false;
    beast::flat_buffer buffer;
    std::optional<AnswerParser> parser;
    bool reused = false, retried = false, timedOut = false, connected = false;
    std::unordered_set<std::string> failing;  // authorities whose latest request failed
    tcp::resolver resolver{context};
    UploadConnection connection{context};
    asio::steady_timer deadline{context};
    UploadRetry retry{context};
};

BeastUrlSession::BeastUrlSession(boost::asio::io_context& context, Diagnostics diagnostics, Options options)
    : impl_(std::make_unique<Impl>(context, std::move(diagnostics), options)) {}

BeastUrlSession::~BeastUrlSession() { impl_->shutdown(std::chrono::milliseconds(0)); }

void BeastUrlSession::start(HttpRequest request) { impl_->submit(std::move(request)); }

void BeastUrlSession::shutdown(std::chrono::milliseconds grace) { impl_->shutdown(grace); }

std::size_t BeastUrlSession::inFlight() const { return impl_->inFlight.load(); }

BeastUrlSession::Stats BeastUrlSession::stats() const {
    return Stats{impl_->answered.load(), impl_->failed.load(), impl_->dropped.load(), impl_->coalesced.load(),
                 impl_->connections.load()};
}

std::string BeastUrlSession::spareBody() {
    // On the loop's thread an answer left to wait is read first: its body's buffer comes back for the next.
    if (impl_->context.get_executor().running_in_this_thread() && impl_->current && impl_->connection.isParked())
        impl_->collect();
    MutexLock lock(impl_->spareMutex);
    std::string spare = std::exchange(impl_->spare, std::string());
    spare.clear();
    return spare;
}

std::optional<bool> BeastUrlSession::lastSucceeded() const {
    const int last = impl_->last.load();
    if (last == Impl::kNone) return std::nullopt;
    return last == Impl::kSucceeded;
}

}  // namespace perfagent

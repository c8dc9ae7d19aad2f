#pragma once

#include "support/raw_http_client.hpp"

#include <boost/beast/http.hpp>

#include <vector>

namespace perfagent::testing {

struct RecordedRequest {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;  ///< in the order received, names as sent
    std::string body;
};

/// @brief A real HTTP/1.1 server on 127.0.0.1 the test drives step by step: take the next request, answer it
/// (or not); until then requests wait, as at a server that does not answer. Every step is bounded.
class HttpRecorder {
public:
    /// Listens on 127.0.0.1:`port` (0: a free port); throws when it cannot bind.
    explicit HttpRecorder(unsigned short port = 0)
        : acceptor_(io_, {boost::asio::ip::make_address_v4("127.0.0.1"), port}) {}

    unsigned short port() const { return acceptor_.local_endpoint().port(); }
    std::size_t connectionsAccepted() const { return accepted_; }

    /// The next request (on a new connection once the client closed its own), if one comes in time.
    std::optional<RecordedRequest> next() {
        for (;;) {
            if (!stream_ && !accept()) return std::nullopt;
            parser_.emplace();
            parser_->body_limit(64 << 20);
            const auto ec = step([&](auto done) { boost::beast::http::async_read(*stream_, buffer_, *parser_, done); });
            if (ec == boost::beast::error::timeout) return std::nullopt;
            if (!ec) break;
            stream_.reset();  // the client closed it
        }
        auto& message = parser_->get();
        RecordedRequest request{std::string(message.method_string()), std::string(message.target()), {}, message.body()};
        for (const auto& field : message) request.headers.emplace_back(field.name_string(), field.value());
        return request;
    }
    /// Answers the latest request with `status` and `body`; the connection stays open as the client asked.
    void answer(std::string body = "recorded\n", unsigned status = 200) {
        RawHttpClient::Response response(boost::beast::http::int_to_status(status), 11, std::move(body));
        response.keep_alive(parser_->get().keep_alive());
        response.prepare_payload();
        step([&](auto done) { boost::beast::http::async_write(*stream_, response, done); });
        if (!response.keep_alive()) hangUp();
    }
    void send(std::string_view raw) {
        step([&](auto done) { boost::asio::async_write(*stream_, boost::asio::buffer(raw), done); });
    }
    void hangUp() { stream_.reset(); }  ///< closes the open connection
    bool closedByClient() { return closedByPeer(io_, *stream_); }

private:
    bool accept() {
        boost::asio::ip::tcp::socket socket(io_);
        boost::beast::error_code result;
        acceptor_.async_accept(socket, [&](boost::beast::error_code ec) { result = ec; });
        io_.restart();
        if (io_.run_for(std::chrono::seconds(10)) == 0) {  // nobody came: give up
            acceptor_.cancel();
            io_.restart();
            io_.run();
        }
        if (result) return false;
        stream_.emplace(std::move(socket));
        buffer_.clear();
        ++accepted_;
        return true;
    }
    template <typename Start> boost::beast::error_code step(Start start) { return boundedStep(io_, *stream_, start); }

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::optional<boost::beast::tcp_stream> stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::size_t accepted_ = 0;
};

}  // namespace perfagent::testing

#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent::testing {

/// Runs one asynchronous operation on `stream` to its end, giving up after a generous bound.
template <typename Start>
boost::beast::error_code boundedStep(boost::asio::io_context& io, boost::beast::tcp_stream& stream, Start start) {
    boost::beast::error_code result;
    stream.expires_after(std::chrono::seconds(10));
    start([&](boost::beast::error_code ec, auto&&...) { result = ec; });
    io.restart();
    io.run();
    return result;
}

/// True when the peer ends the connection (rather than the bound running out).
inline bool closedByPeer(boost::asio::io_context& io, boost::beast::tcp_stream& stream) {
    char byte;
    const auto ec = boundedStep(io, stream, [&](auto done) { stream.async_read_some(boost::asio::buffer(&byte, 1), done); });
    return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
}

/// A blocking loopback client that sends raw bytes; every step gives up after a generous bound.
class RawHttpClient {
public:
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    explicit RawHttpClient(unsigned short port) : stream_(io_) {
        step([&](auto done) { stream_.async_connect({boost::asio::ip::make_address("127.0.0.1"), port}, done); });
    }
    void send(const std::string& raw) {
        step([&](auto done) { boost::asio::async_write(stream_, boost::asio::buffer(raw), done); });
    }
    /// The response's status, or 0 when the connection ended without one.
    unsigned receive(Response* message = nullptr) {
        boost::beast::http::response_parser<boost::beast::http::string_body> parser;
        if (step([&](auto done) { boost::beast::http::async_read(stream_, buffer_, parser, done); })) return 0;
        if (message) *message = parser.get();
        return parser.get().result_int();
    }
    unsigned exchange(const std::string& raw, Response* message = nullptr) { send(raw); return receive(message); }
    bool closedByServer() { return closedByPeer(io_, stream_); }

private:
    template <typename Start> boost::beast::error_code step(Start start) { return boundedStep(io_, stream_, start); }
    boost::asio::io_context io_;
    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
};

/// A request's raw text: Host 127.0.0.1:`port` unless `headers` name one, Content-Length with a body.
inline std::string rawRequest(unsigned short port, std::string_view method, std::string_view target,
                              std::string_view headers = {}, std::optional<std::string_view> body = {},
                              std::string_view version = "1.1") {
    std::string text = std::string(method) + " " + std::string(target) + " HTTP/" + std::string(version) + "\r\n";
    if (headers.find("Host:") == std::string_view::npos) text += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    text += headers;
    if (body) text += "Content-Length: " + std::to_string(body->size()) + "\r\n";
    return text + "\r\n" + std::string(body.value_or(""));
}

}  // namespace perfagent::testing

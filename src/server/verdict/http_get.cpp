#include "verdict/http_get.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <charconv>

namespace perfagent {

namespace http = boost::beast::http;

/// Answers above this size are refused: a verdict or a page of runs is far smaller.
constexpr std::uint64_t kMaxReplyBody = 64u << 20;

Result<ServerUrl> parseServerUrl(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (!url.starts_with(scheme)) return failure("--server: '" + std::string(url) + "' is not http://HOST[:PORT]");
    std::string_view authority = url.substr(scheme.size());
    if (const auto slash = authority.find('/'); slash != std::string_view::npos) {
        if (authority.substr(slash) != "/") return failure("--server: give the server's root, http://HOST[:PORT]");
        authority = authority.substr(0, slash);
    }
    ServerUrl server{.host = std::string(authority), .port = "80", .authority = std::string(authority)};
    const auto bracket = authority.rfind(']');
    const auto colon = authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        const std::string_view port = authority.substr(colon + 1);
        unsigned number = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535)
            return failure("--server: '" + std::string(url) + "' has no port 1-65535");
        server.port = std::string(port);
        server.host = std::string(authority.substr(0, colon));
    }
    if (server.host.size() > 2 && server.host.front() == '[') server.host = server.host.substr(1, server.host.size() - 2);
    if (server.host.empty()) return failure("--server: '" + std::string(url) + "' names no host");
    return server;
}

Result<HttpReply> httpGet(const ServerUrl& server, const std::string& target, std::chrono::milliseconds timeout) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::resolver resolver(io);
    boost::beast::tcp_stream stream(io);
    boost::beast::flat_buffer buffer;
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, server.authority);
    request.set(http::field::user_agent, "perfagent-server verdict");
    http::response_parser<http::string_body> parser;
    parser.body_limit(kMaxReplyBody);
    boost::beast::error_code failed;
    const auto check = [&](boost::beast::error_code ec) {
        if (ec) failed = ec;
        return !ec;
    };
    // One chain of asynchronous steps under one deadline; the first error ends it.
    stream.expires_after(timeout);
    resolver.async_resolve(server.host, server.port, [&](boost::beast::error_code ec, auto endpoints) {
        if (!check(ec)) return;
        stream.async_connect(endpoints, [&](boost::beast::error_code ec, auto) {
            if (!check(ec)) return;
            http::async_write(stream, request, [&](boost::beast::error_code ec, std::size_t) {
                if (!check(ec)) return;
                http::async_read(stream, buffer, parser, [&](boost::beast::error_code ec, std::size_t) { check(ec); });
            });
        });
    });
    io.run();
    if (failed) return failure("http://" + server.authority + target + ": " + failed.message());
    return HttpReply{parser.get().result_int(), std::move(parser.get().body())};
}

}  // namespace perfagent

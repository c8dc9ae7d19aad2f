#include "http/http_server.hpp"
#include "http/listen_address.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

namespace ip = boost::asio::ip;

// Host and port text as the command line and the listeners read it: each bound of the grammar once.
TEST(Address, HostPortTextAndHostHeadersAreReadToTheirBounds) {
    const auto hp = [](std::string_view text, std::optional<unsigned short> port = std::nullopt) {
        const auto read = parseHostPort(text, port);
        return read ? read->host + "|" + std::to_string(read->port) : std::string("-");
    };
    EXPECT_EQ(hp("build_host.lan:65535"), "build_host.lan|65535");
    EXPECT_EQ(hp("[::1]:8089"), "::1|8089");
    EXPECT_EQ(hp("::1", 8089), "::1|8089");
    EXPECT_EQ(hp("h", 8089), "h|8089");
    for (const auto* bad : {"h:0", "h:65536", "h:080000", "h:", "h", "[::1]x8089", "[::1", "::1", "h:8x", "a b:80", "h%1:80"})
        EXPECT_EQ(hp(bad), "-") << bad;

    HttpServerRequest request;
    request.local = {ip::make_address("127.0.0.1"), 80};
    HttpServerRequest v6;
    v6.local = {ip::make_address("::1"), 8089};
    const std::string alias = "perf.example";
    const std::span<const std::string> names(&alias, 1);
    for (const auto* own : {"127.0.0.1", "127.0.0.1:80", "LocalHost:80", "localhost"})
        EXPECT_TRUE(isOwnAuthority(own, request)) << own;
    for (const auto* foreign : {"127.0.0.1:8080", "127.0.0.1:80x", "127.0.0.2", "[::1", "evil", "127.0.0.1:"})
        EXPECT_FALSE(isOwnAuthority(foreign, request)) << foreign;
    EXPECT_TRUE(isOwnAuthority("[::1]:8089", v6));
    EXPECT_FALSE(isOwnAuthority("[::1]x8089", v6));
    EXPECT_FALSE(isOwnAuthority("[::1]", v6)) << "port 80 when left out";
    EXPECT_TRUE(isOwnAuthority("PERF.example:443", request, names));
}

}  // namespace
}  // namespace perfagent

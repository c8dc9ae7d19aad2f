#include "api/trusted_proxies.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

namespace ip = boost::asio::ip;

HttpServerRequest from(const char* peer, std::vector<std::pair<std::string, std::string>> headers) {
    HttpServerRequest request;
    request.peer = {ip::make_address(peer), 40000};
    request.headers = std::move(headers);
    return request;
}

TEST(TrustedProxies, RangesAreParsedAndRangeChecked) {
    const auto block = parseAddressRange("10.1.0.0/16");
    ASSERT_TRUE(block);
    EXPECT_TRUE(block->contains(ip::make_address("10.1.255.7")));
    EXPECT_TRUE(block->contains(ip::make_address("::ffff:10.1.2.3")));  // a dual-stack listener's IPv4 peer
    EXPECT_FALSE(block->contains(ip::make_address("10.2.0.1")));
    const auto v6 = parseAddressRange("2001:db8::/33");
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->contains(ip::make_address("2001:db8:7fff::1")));
    EXPECT_FALSE(v6->contains(ip::make_address("2001:db8:8000::1")));
    EXPECT_EQ(parseAddressRange("::1"), (AddressRange{ip::make_address("::1"), 128}));
    EXPECT_TRUE(parseAddressRange("0.0.0.0/0")->contains(ip::make_address("192.0.2.1")));
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8x", "proxy.lan", "",
                            "10.0.0.0/000008", "::ffff:10.0.0.1", "[::1]", "fe80::1%1", "10.0.0.0/8/8"})
        EXPECT_FALSE(parseAddressRange(bad)) << bad;
}

TEST(TrustedProxies, TheClientIsTheNearestHopThatIsNotATrustedProxy) {
    const TrustedProxies proxies({*parseAddressRange("127.0.0.1"), *parseAddressRange("10.0.0.0/8"),
                                  *parseAddressRange("fd00::/8")});
    const auto client = [&](const char* peer, std::vector<std::pair<std::string, std::string>> headers) {
        return proxies.clientOf(from(peer, std::move(headers)));
    };
    // Anyone else's headers are ignored.
    EXPECT_EQ(client("192.0.2.5", {{"X-Forwarded-For", "198.51.100.1"}}), "192.0.2.5");
    EXPECT_EQ(client("127.0.0.1", {}), "127.0.0.1");
    // A client's own claim left of the real hop, and chains of trusted proxies, walked from the right; several
    // header lines are one list.
    EXPECT_EQ(client("127.0.0.1", {{"x-forwarded-for", "203.0.113.9, 192.0.2.44"}}), "192.0.2.44");
    EXPECT_EQ(client("127.0.0.1", {{"X-Forwarded-For", "203.0.113.9, 192.0.2.44"}, {"X-Forwarded-For", "10.3.3.3"}}),
              "192.0.2.44");
    EXPECT_EQ(client("::ffff:127.0.0.1", {{"X-Forwarded-For", "10.1.1.1,10.2.2.2"}}), "10.1.1.1");
    EXPECT_EQ(client("127.0.0.1", {{"X-Forwarded-For", "[2001:db8::17]:4711, 192.0.2.44:80, 2001:db8::18"}}), "2001:db8::18");
    // Forwarded's for= (quoted, bracketed, with ports and other parameters); X-Forwarded-For wins when both come.
    EXPECT_EQ(client("fd00::2", {{"Forwarded", "for=192.0.2.60;proto=http;by=203.0.113.43, For=\"[2001:db8:cafe::17]:4711\""}}),
              "2001:db8:cafe::17");
    EXPECT_EQ(client("127.0.0.1", {{"Forwarded", "for=192.0.2.60, for=\"10.0.0.9:80\";host=\"a,b\""}}), "192.0.2.60");
    EXPECT_EQ(client("127.0.0.1", {{"Forwarded", "for=192.0.2.60"}, {"X-Forwarded-For", "192.0.2.61"}}), "192.0.2.61");
    // A hop that is not an address ends the walk at the last address read.
    for (const char* bad : {"unknown", "_hidden", "192.0.2.1:99999", "300.1.1.1", "[2001:db8::1", "\"192.0.2.1", "",
                            "192.0.2.1:", "[192.0.2.1]"}) {
        EXPECT_EQ(client("127.0.0.1", {{"X-Forwarded-For", std::string("198.51.100.7, ") + bad + ", 10.0.0.4"}}), "10.0.0.4") << bad;
        EXPECT_EQ(client("127.0.0.1", {{"Forwarded", std::string("for=") + bad}}), "127.0.0.1") << bad;
    }
    EXPECT_EQ(client("127.0.0.1", {{"Forwarded", "proto=https"}}), "127.0.0.1");
}

}  // namespace
}  // namespace perfagent

#include "report/collection_server.hpp"
#include "platform/beast_url_session.hpp"
#include "support/http_recorder.hpp"
#include "support/fake_url_session.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using perfagent::testing::HttpRecorder;
using perfagent::testing::FakeUrlSession;

constexpr auto kLiveness = 10s;

/// Each call of the real client, as the loopback recorder receives it, all over one kept connection.
TEST(CollectionServerRequests, EachCallSendsExactlyItsMethodTargetHeadersAndBody) {
    const std::string report = "{\n  \"UsecaseName\" : \"login \\\"fast\\\"\",\n  \"cpu\" : 12.5,\n  \"name\" : \"Zoë\"\n}";
    std::string large;
    for (int i = 1; large.size() < 1'500'000; ++i) large += "\"" + std::to_string(i) + "s\" : " + std::to_string(i * 0.5) + ",\n";
    const std::string token = R"({"DeviceToken":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"})";
    using Names = std::vector<std::string>;
    const Names json{"Host", "Content-Type", "Accept", "Content-Length"};
    const Names bare{"Host", "Content-Length"};
    const struct {
        std::function<void(CollectionServer&)> call;
        std::string method, target;
        Names headers;
        std::string body;
    } cases[] = {
        {[&](CollectionServer& s) { s.postReport(report); }, "POST", "/entry-point/json", json, report},
        {[](CollectionServer& s) { s.postReport(std::nullopt); }, "POST", "/entry-point/json", json, ""},
        {[&](CollectionServer& s) { s.postReport(large); }, "POST", "/entry-point/json", json, large},
        {[](CollectionServer& s) { s.sendTestPing(); }, "GET", "/entry-point/test", bare, ""},
        {[&](CollectionServer& s) { s.postDeviceToken(token); }, "POST", "/entry-point/devicetokentest", bare, token},
    };
    HttpRecorder recorder;
    BeastUrlSession session{{}, {.deadline = kLiveness}};
    CollectionServer server{session, CollectionEndpoint{"127.0.0.1", recorder.port()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " with " + std::to_string(c.body.size()) + " bytes");
        c.call(server);
        const auto next = recorder.next();
        ASSERT_TRUE(next);
        recorder.answer();
        const auto& request = *next;
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.target, c.target);
        Names names;
        for (const auto& header : request.headers) names.push_back(header.first);
        EXPECT_EQ(names, c.headers);
        if (c.headers == json) {
            EXPECT_EQ(request.header("Content-Type"), "application/json");
            EXPECT_EQ(request.header("Accept"), "application/json");
        }
        EXPECT_EQ(request.contentLength, c.body.size());
        EXPECT_EQ(request.body, c.body);
    }
    EXPECT_EQ(recorder.connectionsAccepted(), 1u);
}

TEST(CollectionServer, AddressForms) {
    FakeUrlSession session;
    auto address = [&](std::string host, unsigned short port, std::string_view path) {
        return CollectionServer(session, CollectionEndpoint{std::move(host), port}).collectionAddress(path);
    };
    EXPECT_EQ(address("127.0.0.1", 8089, "/entry-point/json"), "http://127.0.0.1:8089/entry-point/json");
    EXPECT_EQ(address("collector.lan", 80, "/entry-point/test"), "http://collector.lan:80/entry-point/test");
    EXPECT_EQ(address("::1", 8089, "/entry-point/json"), "http://[::1]:8089/entry-point/json");
    EXPECT_EQ(address("fe80::1:2", 1, "/x"), "http://[fe80::1:2]:1/x");

    EXPECT_EQ(address("", 8089, "/entry-point/json"), std::nullopt);
    EXPECT_EQ(address("bad host", 8089, "/entry-point/json"), std::nullopt);
    EXPECT_EQ(address("u@h", 8089, "/entry-point/json"), std::nullopt);
    EXPECT_EQ(address("h", 0, "/entry-point/json"), std::nullopt);
    EXPECT_EQ(address("h", 8089, "entry-point/json"), std::nullopt);
    EXPECT_EQ(address("h", 8089, "/entry-point/json?x=1"), std::nullopt);
    EXPECT_EQ(address("h", 8089, "/entry point"), std::nullopt);

    // Without an address nothing is sent.
    CollectionServer(session, CollectionEndpoint{"bad host", 8089}).postReport("{}");
    EXPECT_TRUE(session.requests().empty());
}

TEST(CollectionEndpoint, ParsesHostAndOptionalPortAndRejectsWhatCannotBeAnAddress) {
    const std::tuple<const char*, const char*, unsigned short> valid[] = {
        {"127.0.0.1", "127.0.0.1", 8089}, {"10.0.0.7:9000", "10.0.0.7", 9000}, {"collector.lan", "collector.lan", 8089},
        {"h:1", "h", 1}, {"h:65535", "h", 65535}, {"[::1]:8090", "::1", 8090}, {"[fe80::1]", "fe80::1", 8089},
        {"::1", "::1", 8089},
    };
    for (const auto& [text, host, port] : valid) {
        const auto endpoint = CollectionEndpoint::parse(text);
        ASSERT_TRUE(endpoint) << text;
        EXPECT_EQ(std::tie(endpoint->host, endpoint->port), std::tie(host, port)) << text;
    }
    for (const char* text : {"", ":8089", "h:", "h:0", "h:65536", "h:123456", "h:80a", "h:+80", "h:-1", "h: 80",
                             "a b", "a/b", "user@h", "h#x", "ho%st", "1.2.3.4:80/", "h:80:90", "[::1", "[::1]x",
                             "[::1]:", "[not-v6]:80", "[]", "[]:80"}) {
        EXPECT_EQ(CollectionEndpoint::parse(text), std::nullopt) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace perfagent

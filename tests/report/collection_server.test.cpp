#include "report/collection_server.hpp"
#include "platform/beast_url_session.hpp"
#include "http/listen_address.hpp"
#include "support/http_recorder.hpp"
#include "support/fake_url_session.hpp"
#include "support/running_session.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <tuple>

namespace perfagent {
namespace {

using namespace std::chrono_literals;

/// Each call of the real client, as the loopback recorder receives it, all over one kept connection.
TEST(CollectionServerRequests, EachCallSendsExactlyItsMethodTargetHeadersAndBody) {
    const std::string report = "{\n  \"UsecaseName\" : \"login \\\"fast\\\"\",\n  \"cpu\" : 12.5,\n  \"name\" : \"Zoë\"\n}";
    const std::string token = R"({"DeviceToken":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"})";
    using Headers = std::vector<std::pair<std::string, std::string>>;
    const auto json = [](std::size_t size) {
        return Headers{{"Content-Type", "application/json"}, {"Accept", "application/json"}, {"Content-Length", std::to_string(size)}};
    };
    const struct {
        std::function<void(CollectionServer&)> call;
        std::string method, target, body;
        Headers headers;
    } cases[] = {
        {[&](CollectionServer& s) { s.postReport(report); }, "POST", "/entry-point/json", report, json(report.size())},
        {[](CollectionServer& s) { s.postReport(std::nullopt); }, "POST", "/entry-point/json", "", json(0)},
        {[](CollectionServer& s) { s.sendTestPing(); }, "GET", "/entry-point/test", "", {{"Content-Length", "0"}}},
        {[&](CollectionServer& s) { s.postDeviceToken(token); }, "POST", "/entry-point/devicetokentest", token,
         {{"Content-Length", std::to_string(token.size())}}},
    };
    testing::HttpRecorder recorder;
    testing::RunningSession running{{}, {.deadline = 10s}};
    CollectionServer server{running.session, CollectionEndpoint{"127.0.0.1", recorder.port()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " with " + std::to_string(c.body.size()) + " bytes");
        c.call(server);
        const auto next = recorder.next();
        ASSERT_TRUE(next);
        recorder.answer();
        auto request = *next;
        EXPECT_EQ(request.headers.at(0).first, "Host");
        request.headers.erase(request.headers.begin());
        EXPECT_EQ(std::tie(request.method, request.target, request.body), std::tie(c.method, c.target, c.body));
        EXPECT_EQ(request.headers, c.headers);
    }
    EXPECT_EQ(recorder.connectionsAccepted(), 1u);
}

/// A final report is kept while the server is briefly away or answers 503, and goes before what follows it;
/// a running report is sent once.
TEST(CollectionServerRequests, AFinalReportIsSentAgainUntilStoredARunningOneOnce) {
    const auto port = testing::HttpRecorder().port();  // nothing listens on it at first
    testing::RunningSession running{{}, {.deadline = 10s}};
    CollectionServer server{running.session, CollectionEndpoint{"127.0.0.1", port}};
    server.postReport("final");
    server.postReport("running", 7);
    server.postReport("next final");
    std::this_thread::sleep_for(200ms);  // the first attempt is refused
    testing::HttpRecorder recorder(port);
    std::vector<std::string> bodies;
    for (const unsigned status : {503, 503, 200, 503, 200}) {
        const auto next = recorder.next();
        ASSERT_TRUE(next);
        bodies.push_back(next->body);
        recorder.answer("", status);
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"final", "final", "final", "running", "next final"}));
    EXPECT_EQ(running.session.stats().failed, 1u);
}

TEST(CollectionEndpoint, ParsesHostAndOptionalPortFormsAddressesAndRejectsWhatCannotBeOne) {
    const std::tuple<const char*, const char*, unsigned short> valid[] = {
        {"127.0.0.1", "127.0.0.1", 8089}, {"10.0.0.7:9000", "10.0.0.7", 9000}, {"collector.lan", "collector.lan", 8089},
        {"h:1", "h", 1}, {"h:65535", "h", 65535}, {"[::1]:8090", "::1", 8090}, {"[fe80::1]", "fe80::1", 8089},
        {"::1", "::1", 8089},
    };
    for (const auto& [text, host, port] : valid) {
        const auto endpoint = CollectionEndpoint::parse(text).value_or(CollectionEndpoint{"refused", 0});
        EXPECT_EQ(std::tie(endpoint.host, endpoint.port), std::tie(host, port)) << text;
    }
    for (const char* text : {"", ":8089", "h:", "h:0", "h:65536", "h:123456", "h:80a", "h:+80", "h:-1", "h: 80",
                             "a b", "a/b", "user@h", "h#x", "ho%st", "1.2.3.4:80/", "h:80:90", "[::1", "[::1]x",
                             "[::1]:", "[not-v6]:80", "[]", "[]:80"}) {
        EXPECT_EQ(CollectionEndpoint::parse(text), std::nullopt) << '"' << text << '"';
    }
    // Requests addressed from an endpoint; nothing is sent without an address.
    testing::FakeUrlSession session;
    const std::tuple<const char*, unsigned short, const char*, bool> cases[] = {
        {"127.0.0.1", 8089, "/entry-point/json", true}, {"fe80::1:2", 1, "/x", true},
        {"bad host", 8089, "/x", false}, {"h", 0, "/x", false}, {"h", 8089, "x", false},
        {"h", 8089, "/x?y=1", false}, {"h", 8089, "/entry point", false},  // more hosts: the parse table
    };
    for (const auto& [host, port, path, addressable] : cases)
        EXPECT_EQ(CollectionServer(session, CollectionEndpoint{host, port}).addressable(path), addressable) << host << path;
    EXPECT_EQ(authorityText("fe80::1:2", 1), "[fe80::1:2]:1");  // as the Host header and the diagnostics name it
    CollectionServer(session, CollectionEndpoint{"bad host", 8089}).postReport("{}");
    EXPECT_TRUE(session.take().empty());
}

}  // namespace
}  // namespace perfagent

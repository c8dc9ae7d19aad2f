#include "shell/remote_command.hpp"
#include "shell/push_endpoint.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace perfagent {
namespace {

TEST(RemoteCommand, ReadsTheCommandAndNamesOrSaysWhichKeyIsMissing) {
    const auto stop =
        boost::json::parse(R"({"aps": {"alert": "stop"}, "srNumber": 42, "usecase": " Log In ", "pagename": "home"})").as_object();
    const auto command = parseRemoteCommand(stop);
    ASSERT_TRUE(command);
    EXPECT_EQ(pushDecision(stop), R"({"action":"stop"})");
    // A number reads as its digits; nothing is trimmed.
    EXPECT_EQ(std::tie(command->command, command->srNumber, command->usecase, command->pagename),
              std::tie("stop", "42", " Log In ", "home"));

    const std::pair<const char*, const char*> cases[] = {
        {R"({"srNumber": "1", "usecase": "u"})", "no \"aps\""},
        {R"({"aps": "start", "srNumber": "1", "usecase": "u"})", "\"aps\" is not an object"},
        {R"({"aps": {"title": "start"}, "srNumber": "1", "usecase": "u"})", "no \"alert\" in \"aps\""},
        {R"({"aps": {"alert": "start"}, "srnumber": "1", "usecase": "u"})", "no \"srNumber\""},
        {R"({"aps": {"alert": "start"}, "srNumber": "1"})", "no \"usecase\""},
    };
    // The push's answer names the reason parseRemoteCommand gives.
    for (const auto& [json, reason] : cases)
        EXPECT_EQ(boost::json::parse(pushDecision(boost::json::parse(json).as_object())),
                  (boost::json::object{{"action", "none"}, {"reason", reason}})) << json;
}

TEST(RemoteCommand, ValueTextForms) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"a \\\"b\\\"\"", "a \"b\""}, {"-7", "-7"}, {"18446744073709551615", "18446744073709551615"},
        {"42.0", "42"}, {"1e20", "100000000000000000000"}, {"4.5", "4.5"}, {"true", "true"}, {"null", "<null>"},
        {R"({"k": [1, "x"]})", R"(["k": [1, "x"]])"}, {"99.99999999999999", "99.99999999999999"},
        {"0.30000000000000004", "0.30000000000000004"},
    };
    boost::system::error_code ec;  // as pushes are parsed
    for (const auto& [json, text] : cases) EXPECT_EQ(payloadValueText(parseJsonExactly(json, ec)), text) << json;
    EXPECT_EQ(payloadValueText(boost::json::parse("1e308")).size(), 309u);
}

}  // namespace
}  // namespace perfagent

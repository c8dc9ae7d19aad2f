#include "platform/push_body.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <string>

namespace perfagent {
namespace {

TEST(PushBody, AcceptsAnObjectUpToTheInclusiveLimitAndHandsItOverUnchanged) {
    const std::string body = R"({"aps": {"alert": "start"}, "srNumber": 42, "usecase": "login", "x": [1, null]})";
    const PushBodyCheck check = parsePushBody(body);
    ASSERT_TRUE(check.userInfo);
    EXPECT_EQ(*check.userInfo, boost::json::parse(body).as_object());
    EXPECT_EQ(check.status, 0u);

    std::string padded = body;
    padded.resize(kPushBodyLimit, ' ');
    EXPECT_TRUE(parsePushBody(padded).userInfo);
    padded += ' ';
    const PushBodyCheck over = parsePushBody(padded);
    EXPECT_FALSE(over.userInfo);
    EXPECT_EQ(over.status, 413u);
    EXPECT_EQ(over.reason, "body too large");
}

TEST(PushBody, RefusesWhatIsNotAJsonObject) {
    const std::pair<std::string, std::string_view> cases[] = {
        {R"({"a": 1} x)", "invalid JSON"},
        {"{\"a\": \"\xff\"}", "invalid JSON"},  // not UTF-8
        {std::string(R"({"a": 1})") + '\0', "invalid JSON"},
        {"\"start\"", "not a JSON object"},
        {"null", "not a JSON object"},
    };
    for (const auto& [body, reason] : cases) {
        SCOPED_TRACE(body);
        const PushBodyCheck check = parsePushBody(body);
        EXPECT_FALSE(check.userInfo);
        EXPECT_EQ(check.status, 400u);
        EXPECT_EQ(check.reason, reason);
    }
}

}  // namespace
}  // namespace perfagent

#include "platform/push_body.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <string>

namespace perfagent {
namespace {

/// A JSON object padded with blanks to exactly `size` bytes.
std::string paddedObject(std::size_t size) {
    std::string body = R"({"aps": {"alert": "start"}})";
    body.resize(size, ' ');
    return body;
}

TEST(PushBody, AcceptsAnObjectAndHandsItOverUnchanged) {
    const std::string body = R"({"aps": {"alert": "start"}, "srNumber": 42, "usecase": "login", "x": [1, null]})";
    const PushBodyCheck check = parsePushBody(body);
    ASSERT_TRUE(check.userInfo);
    EXPECT_EQ(*check.userInfo, boost::json::parse(body).as_object());
    EXPECT_EQ(check.status, 0u);
    EXPECT_EQ(check.reason, "");

    const PushBodyCheck empty = parsePushBody("{}");
    ASSERT_TRUE(empty.userInfo);
    EXPECT_TRUE(empty.userInfo->empty());
}

TEST(PushBody, TheSizeLimitIsInclusive) {
    EXPECT_TRUE(parsePushBody(paddedObject(kPushBodyLimit)).userInfo);

    const PushBodyCheck over = parsePushBody(paddedObject(kPushBodyLimit + 1));
    EXPECT_FALSE(over.userInfo);
    EXPECT_EQ(over.status, 413u);
    EXPECT_EQ(over.reason, "body too large");
}

TEST(PushBody, RefusesWhatIsNotAJsonObject) {
    struct Case {
        std::string body;
        std::string_view reason;
    };
    const Case cases[] = {
        {"", "invalid JSON"},
        {R"({"aps":)", "invalid JSON"},
        {R"({"a": 1} x)", "invalid JSON"},
        {"{\"a\": \"\xff\"}", "invalid JSON"},  // not UTF-8
        {std::string(R"({"a": 1})") + '\0', "invalid JSON"},
        {"[1, 2]", "not a JSON object"},
        {"\"start\"", "not a JSON object"},
        {"null", "not a JSON object"},
        {"42", "not a JSON object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const PushBodyCheck check = parsePushBody(c.body);
        EXPECT_FALSE(check.userInfo);
        EXPECT_EQ(check.status, 400u);
        EXPECT_EQ(check.reason, c.reason);
    }
}

}  // namespace
}  // namespace perfagent

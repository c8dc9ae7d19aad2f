#include "shell/remote_command.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace perfagent {
namespace {

std::optional<RemoteCommand> parse(std::string_view json, std::string* why = nullptr) {
    std::string reason;
    auto command = parseRemoteCommand(boost::json::parse(json).as_object(), reason);
    if (why) *why = reason;
    return command;
}

TEST(RemoteCommand, ReadsTheCommandWordAndNames) {
    auto command = parse(R"({"aps": {"alert": "start", "sound": "x"}, "srNumber": "42", "usecase": "login"})");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->command, "start");
    EXPECT_EQ(command->srNumber, "42");
    EXPECT_EQ(command->usecase, "login");
    EXPECT_EQ(command->pagename, "");

    command = parse(R"({"aps": {"alert": "stop"}, "srNumber": 42, "usecase": " Log In ", "pagename": "home"})");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->srNumber, "42");  // a number reads as its digits
    EXPECT_EQ(command->usecase, " Log In ");  // no trimming
    EXPECT_EQ(command->pagename, "home");
}

TEST(RemoteCommand, RejectsPayloadsMissingARequiredKey) {
    std::string why;
    EXPECT_FALSE(parse(R"({"srNumber": "1", "usecase": "u"})", &why));
    EXPECT_EQ(why, "no \"aps\"");
    EXPECT_FALSE(parse(R"({"aps": "start", "srNumber": "1", "usecase": "u"})", &why));
    EXPECT_EQ(why, "\"aps\" is not an object");
    EXPECT_FALSE(parse(R"({"aps": {"title": "start"}, "srNumber": "1", "usecase": "u"})", &why));
    EXPECT_FALSE(parse(R"({"aps": {"alert": "start"}, "srnumber": "1", "usecase": "u"})", &why));
    EXPECT_EQ(why, "no \"srNumber\"");
    EXPECT_FALSE(parse(R"({"aps": {"alert": "start"}, "srNumber": "1"})", &why));
    EXPECT_EQ(why, "no \"usecase\"");
}

TEST(RemoteCommand, ValueTextForms) {
    const auto text = [](std::string_view json) { return payloadValueText(boost::json::parse(json)); };
    EXPECT_EQ(text("\"a \\\"b\\\"\""), "a \"b\"");
    EXPECT_EQ(text("42"), "42");
    EXPECT_EQ(text("-7"), "-7");
    EXPECT_EQ(text("18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(text("42.0"), "42");
    EXPECT_EQ(text("1e20"), "100000000000000000000");
    EXPECT_EQ(text("4.5"), "4.5");
    EXPECT_EQ(text("true"), "true");
    EXPECT_EQ(text("null"), "<null>");
    EXPECT_EQ(text(R"({"k": [1, "x"]})"), R"(["k": [1, "x"]])");
    EXPECT_EQ(text("1e308").size(), 309u);
}

TEST(RemoteCommand, OnlyExactCommandWordsSelectAnAction) {
    EXPECT_EQ(commandAction("start"), CommandAction::Start);
    EXPECT_EQ(commandAction("stop"), CommandAction::Stop);
    EXPECT_EQ(commandAction("startoverall"), CommandAction::StartOverall);
    EXPECT_EQ(commandAction("stopoverall"), CommandAction::StopOverall);
    EXPECT_EQ(commandAction("Start"), CommandAction::None);
    EXPECT_EQ(commandAction("STOP"), CommandAction::None);
    EXPECT_EQ(commandAction("start "), CommandAction::None);
    EXPECT_EQ(commandAction(""), CommandAction::None);
}

}  // namespace
}  // namespace perfagent

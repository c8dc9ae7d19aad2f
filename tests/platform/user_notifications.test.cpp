#include "platform/user_notifications.hpp"

#include "support/fake_run_loop.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

using testing::FakeRunLoop;

TEST(HostUserNotificationCenter, GrantsAndDescribesItsSettingsLaterOnTheBackgroundQueue) {
    FakeRunLoop loop;
    HostUserNotificationCenter center(loop);
    std::vector<std::string> answers;
    center.requestAuthorization(7, [&](bool granted, std::optional<std::string> error) {
        EXPECT_EQ(loop.currentQueue(), FakeRunLoop::Queue::Background);
        answers.push_back(std::string(granted ? "granted" : "refused") + (error ? " with error" : ""));
    });
    center.getNotificationSettings([&](std::string description) {
        EXPECT_EQ(loop.currentQueue(), FakeRunLoop::Queue::Background);
        answers.push_back(std::move(description));
    });
    EXPECT_TRUE(answers.empty());

    loop.runUntilIdle();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], "granted");
    EXPECT_EQ(answers[1], HostUserNotificationCenter::settingsDescription());
    EXPECT_EQ(answers[1].find('\n'), std::string::npos);
}

}  // namespace
}  // namespace perfagent

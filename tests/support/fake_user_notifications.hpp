#pragma once

#include "platform/user_notifications.hpp"

namespace perfagent::testing {

/// @brief Answers as configured, through the given run loop's background queue (a FakeRunLoop makes
/// the answers arrive when the test advances it).
class FakeUserNotificationCenter final : public UserNotificationCenter {
public:
    explicit FakeUserNotificationCenter(RunLoop& runLoop) : runLoop_(runLoop) {}

    void requestAuthorization(std::uint64_t, AuthorizationHandler handler) override {
        runLoop_.backgroundAsync([handler = std::move(handler), granted = granted] { handler(granted, std::nullopt); });
    }
    void getNotificationSettings(SettingsHandler handler) override {
        runLoop_.backgroundAsync([handler = std::move(handler)] { handler("<FakeNotificationSettings>"); });
    }

    bool granted = true;

private:
    RunLoop& runLoop_;
};

}  // namespace perfagent::testing

#pragma once

#include "platform/user_notifications.hpp"

#include <vector>

namespace perfagent::testing {

/// @brief Answers as configured, through the given run loop's background queue (a FakeRunLoop makes
/// the answers arrive when the test advances it), and records the options asked for.
class FakeUserNotificationCenter final : public UserNotificationCenter {
public:
    explicit FakeUserNotificationCenter(RunLoop& runLoop) : runLoop_(runLoop) {}

    void requestAuthorization(std::uint64_t options, AuthorizationHandler handler) override {
        requestedOptions.push_back(options);
        runLoop_.backgroundAsync([handler = std::move(handler), granted = granted, error = error] {
            handler(granted, error);
        });
    }
    void getNotificationSettings(SettingsHandler handler) override {
        ++settingsRequests;
        runLoop_.backgroundAsync([handler = std::move(handler), text = settings] { handler(text); });
    }

    bool granted = true;
    std::optional<std::string> error;
    std::string settings = "<FakeNotificationSettings>";
    std::vector<std::uint64_t> requestedOptions;
    int settingsRequests = 0;

private:
    RunLoop& runLoop_;
};

}  // namespace perfagent::testing

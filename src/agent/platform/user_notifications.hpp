#pragma once

#include "platform/run_loop.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace perfagent {

/// Authorisation options: badge, sound, alert.
inline constexpr std::uint64_t kAuthorizationOptionBadge = 1;
inline constexpr std::uint64_t kAuthorizationOptionSound = 2;
inline constexpr std::uint64_t kAuthorizationOptionAlert = 4;

/// @brief Permission to show notifications, and the settings granted.
///
/// Both requests return at once; the answer comes later, possibly on another thread than the caller's.
class UserNotificationCenter {
public:
    using AuthorizationHandler = std::function<void(bool granted, std::optional<std::string> error)>;
    using SettingsHandler = std::function<void(std::string description)>;

    virtual ~UserNotificationCenter() = default;
    virtual void requestAuthorization(std::uint64_t options, AuthorizationHandler handler) = 0;
    /// Answers the one-line description of the current settings.
    virtual void getNotificationSettings(SettingsHandler handler) = 0;
};

/// @brief This host has no user to ask: permission is granted without a prompt. Answers come from the
/// run loop's background queue. Nothing is ever shown, sounded or badged; remote notifications are
/// delivered to the agent by HTTP on its local listener, which the settings description says.
class HostUserNotificationCenter final : public UserNotificationCenter {
public:
    explicit HostUserNotificationCenter(RunLoop& runLoop) : runLoop_(runLoop) {}

    void requestAuthorization(std::uint64_t options, AuthorizationHandler handler) override;
    void getNotificationSettings(SettingsHandler handler) override;

    static const std::string& settingsDescription();

private:
    RunLoop& runLoop_;
};

}  // namespace perfagent

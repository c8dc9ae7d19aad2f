#include "platform/user_notifications.hpp"

namespace perfagent {

void HostUserNotificationCenter::requestAuthorization(std::uint64_t, AuthorizationHandler handler) {
    runLoop_.backgroundAsync([handler = std::move(handler)] { handler(true, std::nullopt); });
}

void HostUserNotificationCenter::getNotificationSettings(SettingsHandler handler) {
    runLoop_.backgroundAsync([handler = std::move(handler)] { handler(settingsDescription()); });
}

const std::string& HostUserNotificationCenter::settingsDescription() {
    static const std::string description =
        "<UNNotificationSettings: authorizationStatus: Authorized, alertSetting: NotSupported, "
        "soundSetting: NotSupported, badgeSetting: NotSupported, "
        "remoteDelivery: HTTP POST /remote-notification on the agent's local listener>";
    return description;
}

}  // namespace perfagent

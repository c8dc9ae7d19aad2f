#include "keepalive/notification_center.hpp"

#include <algorithm>
#include <csignal>

namespace perfagent {

Notification audioSessionInterruption(std::int64_t type) {
    return Notification{std::string(kAudioSessionInterruptionNotification),
                        NotificationUserInfo{{std::string(kAudioSessionInterruptionTypeKey), type}}};
}

void NotificationCenter::addObserver(const void* observer, std::string name, Handler handler) {
    auto shared = std::make_shared<const Handler>(std::move(handler));
    MutexLock lock(mutex_);
    registrations_.push_back(Registration{observer, std::move(name), std::move(shared)});
}

void NotificationCenter::removeObserver(const void* observer, std::string_view name) {
    MutexLock lock(mutex_);
    std::erase_if(registrations_,
                  [&](const Registration& r) { return r.observer == observer && r.name == name; });
}

void NotificationCenter::post(const Notification& notification) {
    // Take the matching handlers under the lock, call them after releasing it: a handler may take a
    // while (a player restart) or come back into the center.
    std::vector<std::shared_ptr<const Handler>> matching;
    {
        MutexLock lock(mutex_);
        for (const auto& r : registrations_) {
            if (r.name == notification.name) matching.push_back(r.handler);
        }
    }
    for (const auto& handler : matching) (*handler)(notification);
}

std::size_t NotificationCenter::registrationCount(const void* observer, std::string_view name) const {
    MutexLock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
        return r.observer == observer && r.name == name;
    }));
}

SignalWatcher::Handlers audioInterruptionSignals(NotificationCenter& center) {
    return {
        {SIGUSR1, [&center] { center.post(audioSessionInterruption(kAudioSessionInterruptionTypeBegan)); }},
        {SIGUSR2, [&center] { center.post(audioSessionInterruption(kAudioSessionInterruptionTypeEnded)); }},
    };
}

}  // namespace perfagent

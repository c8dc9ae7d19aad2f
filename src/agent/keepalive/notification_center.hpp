#pragma once

#include "os/signals.hpp"
#include "base/thread_annotations.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace perfagent {

/// Name of the notification the audio session posts when an interruption begins or ends.
inline constexpr std::string_view kAudioSessionInterruptionNotification = "AVAudioSessionInterruptionNotification";
/// User-info key of the interruption type: 1 when an interruption began, 0 when it ended.
inline constexpr std::string_view kAudioSessionInterruptionTypeKey = "AVAudioSessionInterruptionTypeKey";
inline constexpr std::int64_t kAudioSessionInterruptionTypeBegan = 1;
inline constexpr std::int64_t kAudioSessionInterruptionTypeEnded = 0;

/// One user-info entry: an integer, or a text (which has no integer value).
using NotificationValue = std::variant<std::int64_t, std::string>;
using NotificationUserInfo = std::map<std::string, NotificationValue, std::less<>>;

struct Notification {
    std::string name;
    std::optional<NotificationUserInfo> userInfo;
};

/// An audio-session interruption notification of the given type.
Notification audioSessionInterruption(std::int64_t type);

/// @brief In-process notification center: observers register per name, a post calls them on the posting
/// thread.
///
/// Each addObserver is one more registration, so an observer added twice for a name is called twice per
/// post. Handlers are called without any lock held: they may post, add or remove observers themselves.
/// A handler removed while a post on another thread is already under way may still be called by that
/// post, so a handler must not capture anything that can die before the center stops posting to it
/// (capture a weak reference, as BackgroundTask does).
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    /// Registers `handler` for notifications named `name` on behalf of `observer` (an identity only;
    /// the center never dereferences it and does not keep it alive). Safe from any thread.
    void addObserver(const void* observer, std::string name, Handler handler);
    /// Drops every registration of `observer` for `name`. Safe from any thread.
    void removeObserver(const void* observer, std::string_view name);
    /// Calls every registration whose name equals the notification's name once, in registration
    /// order, on the calling thread.
    void post(const Notification& notification);

    /// Registrations of `observer` for `name`.
    std::size_t registrationCount(const void* observer, std::string_view name) const;

private:
    struct Registration {
        const void* observer;
        std::string name;
        std::shared_ptr<const Handler> handler;
    };

    mutable Mutex mutex_;
    std::vector<Registration> registrations_ GUARDED_BY(mutex_);
};

/// Handlers that post audio-session interruptions to `center`: SIGUSR1 one that began (type 1),
/// SIGUSR2 one that ended (type 0). `center` must outlive the watcher they are given to.
SignalWatcher::Handlers audioInterruptionSignals(NotificationCenter& center);

}  // namespace perfagent

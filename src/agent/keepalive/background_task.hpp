#pragma once

#include "platform/audio.hpp"
#include "platform/console.hpp"
#include "keepalive/notification_center.hpp"

#include <filesystem>
#include <memory>

namespace perfagent {

/// @brief What a BackgroundTask plays with. All of it must outlive the task.
struct KeepAliveServices {
    Console& console;
    NotificationCenter& notificationCenter;
    AudioSession& audioSession;
    AudioPlayerFactory& playerFactory;
    /// Where the sound resource "3.wav" is looked up.
    std::filesystem::path resourcesDirectory;
};

/// @brief Keeps the process busy by playing a sound in an endless loop through a playback audio
/// session, and starts the sound afresh when an audio interruption begins.
///
/// startBackgroundTask, stopBackgroundTask and playAudio are called on the main thread;
/// interuptedAudio runs on the thread that posts the interruption (the signal-handling thread), and
/// its playAudio may overlap main-thread use. A mutex inside the task serialises every playAudio and
/// every access to the player, so two restarts never interleave and the player is never replaced
/// while another thread uses it. No other lock is held while it is taken, so it cannot deadlock.
///
/// The notification center holds the task only weakly: a registration still present when the task is
/// destroyed calls nothing, and the destructor removes the task's registrations.
class BackgroundTask {
public:
    explicit BackgroundTask(KeepAliveServices services);
    ~BackgroundTask();
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    /// Prints "testbackground", registers for audio interruptions (one more registration per call)
    /// and starts the sound.
    void startBackgroundTask();
    /// Drops every interruption registration of this task and stops the current player.
    void stopBackgroundTask();
    /// Prints "play audio", then sets up the session and replaces the player with a new one looping
    /// the sound at full volume. A missing sound file ends it silently; a failing session step or
    /// player prints the error's description and keeps the earlier player.
    void playAudio();
    /// Runs playAudio for an interruption notification whose type is 1 (began); ignores anything else.
    void interuptedAudio(const Notification& notification);

    /// The current player (an empty player until the first successful start).
    std::shared_ptr<AudioPlayer> player() const;

    static constexpr std::string_view kSoundName = "3";
    static constexpr std::string_view kSoundType = "wav";

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace perfagent

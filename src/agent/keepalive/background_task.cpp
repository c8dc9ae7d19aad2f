#include "keepalive/background_task.hpp"

#include "os/files.hpp"
#include "base/thread_annotations.hpp"

#include <variant>

namespace perfagent {

namespace {

constexpr std::int64_t kEndlessLoops = -1;
constexpr float kFullVolume = 1.0f;
constexpr std::uint64_t kNoOptions = 0;

}  // namespace

/// Everything a notification handler may reach, held by the task and, during a call, by the handler.
struct BackgroundTask::State {
    explicit State(KeepAliveServices s) : services(std::move(s)) {}

    void playAudio() EXCLUDES(mutex) {
        MutexLock lock(mutex);
        services.console.println("play audio");
        const auto path = pathForResource(services.resourcesDirectory, kSoundName, kSoundType);
        if (!path) return;
        // A failing step prints why and leaves the earlier player.
        auto set = services.audioSession.setCategory(kAudioSessionCategoryPlayback, kAudioSessionModeDefault, kNoOptions);
        if (set) set = services.audioSession.setActive(true, kNoOptions);
        if (!set) return services.console.println(set.error().message);
        auto fresh = services.playerFactory.makePlayer(*path);
        if (!fresh) return services.console.println(fresh.error().message);
        // The old player is released without being stopped.
        player = std::move(*fresh);
        player->setNumberOfLoops(kEndlessLoops);
        player->setVolume(kFullVolume);
        player->prepareToPlay();
        player->play();
    }

    void interuptedAudio(const Notification& notification) {
        if (notification.name != kAudioSessionInterruptionNotification || !notification.userInfo) return;
        const auto entry = notification.userInfo->find(kAudioSessionInterruptionTypeKey);
        if (entry == notification.userInfo->end()) return;
        const auto* type = std::get_if<std::int64_t>(&entry->second);
        if (type == nullptr || *type != kAudioSessionInterruptionTypeBegan) return;
        playAudio();
    }

    KeepAliveServices services;
    mutable Mutex mutex;  // one start at a time, and the player is not replaced while in use
    std::shared_ptr<AudioPlayer> player GUARDED_BY(mutex) = std::make_shared<EmptyAudioPlayer>();
};

BackgroundTask::BackgroundTask(KeepAliveServices services)
    : state_(std::make_shared<State>(std::move(services))) {}

BackgroundTask::~BackgroundTask() {
    state_->services.notificationCenter.removeObserver(this, kAudioSessionInterruptionNotification);
}

void BackgroundTask::startBackgroundTask() {
    state_->services.console.println("testbackground");
    state_->services.notificationCenter.addObserver(
        this, std::string(kAudioSessionInterruptionNotification),
        [weak = std::weak_ptr<State>(state_)](const Notification& notification) {
            if (auto state = weak.lock()) state->interuptedAudio(notification);
        });
    state_->playAudio();
}

void BackgroundTask::stopBackgroundTask() {
    state_->services.notificationCenter.removeObserver(this, kAudioSessionInterruptionNotification);
    MutexLock lock(state_->mutex);
    state_->player->stop();
}

void BackgroundTask::playAudio() { state_->playAudio(); }

void BackgroundTask::interuptedAudio(const Notification& notification) { state_->interuptedAudio(notification); }

std::shared_ptr<AudioPlayer> BackgroundTask::player() const {
    MutexLock lock(state_->mutex);
    return state_->player;
}

}  // namespace perfagent

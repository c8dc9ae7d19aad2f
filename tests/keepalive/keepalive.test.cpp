#include "keepalive/background_task.hpp"
#include "keepalive/notification_center.hpp"

#include "support/recording_console.hpp"
#include "support/temp_directory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace perfagent {
namespace {

const std::filesystem::path kSound = std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources" / "3.wav";
const Notification kBegan = audioSessionInterruption(kAudioSessionInterruptionTypeBegan);

/// Refuses its next step once with the error set for it.
struct ScriptedSession final : AudioSession {
    std::optional<std::string> setCategory(std::string_view, std::string_view, std::uint64_t) override {
        return std::exchange(categoryError, std::nullopt);
    }
    std::optional<std::string> setActive(bool, std::uint64_t) override { return std::exchange(activeError, std::nullopt); }
    std::optional<std::string> categoryError, activeError;
};

/// A keep-alive task's services: real players of the resources' sound file, the "play audio" lines counted.
struct BackgroundTaskTest : ::testing::Test {
    KeepAliveServices services(std::filesystem::path resources = kSound.parent_path()) {
        return {console, center, session, players, std::move(resources)};
    }
    long plays() { return std::ranges::count(console.take(), "play audio"); }

    testing::RecordingConsole console;
    NotificationCenter center;
    ScriptedSession session;
    SndfileAudioPlayerFactory players;
};

TEST_F(BackgroundTaskTest, StartLoopsANewPlayerAtFullVolumeAndOnlyABeganInterruptionRestartsIt) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    const auto first = task.player();
    EXPECT_EQ(std::tuple(first->isPlaying(), first->numberOfLoops(), first->volume()), std::tuple(true, -1, 1.0f));

    // Registered under another name too, so a wrongly named notification does reach the task.
    center.addObserver(&task, "OtherNotification", [&task](const Notification& n) { task.interuptedAudio(n); });
    const std::string name(kAudioSessionInterruptionNotification), key(kAudioSessionInterruptionTypeKey);
    for (const Notification& ignored :
         {audioSessionInterruption(kAudioSessionInterruptionTypeEnded), audioSessionInterruption(2),
          Notification{"OtherNotification", NotificationUserInfo{{key, std::int64_t{1}}}}, Notification{name, std::nullopt},
          Notification{name, NotificationUserInfo{{"SomeOtherKey", std::int64_t{1}}}},
          Notification{name, NotificationUserInfo{{key, std::string("1")}}}})
        center.post(ignored);
    EXPECT_EQ(task.player(), first);

    center.post(kBegan);
    EXPECT_NE(task.player(), first);
    EXPECT_TRUE(first->isPlaying());  // released, not stopped
    EXPECT_EQ(first.use_count(), 1);  // only this test holds it now
}

TEST_F(BackgroundTaskTest, StartingTwiceRegistersTwiceAndOneStopOrTheTasksEndUndoesBoth) {
    std::optional<BackgroundTask> task(std::in_place, services());
    task->startBackgroundTask();
    task->startBackgroundTask();
    center.post(kBegan);
    task->stopBackgroundTask();
    EXPECT_FALSE(task->player()->isPlaying());
    center.post(kBegan);
    EXPECT_EQ(plays(), 4);  // two starts, then one interruption heard by both registrations

    task->startBackgroundTask();
    EXPECT_TRUE(task->player()->isPlaying());
    const void* registered = &*task;
    task.reset();
    EXPECT_EQ(center.registrationCount(registered, kAudioSessionInterruptionNotification), 0u);
}

TEST_F(BackgroundTaskTest, AMissingFileOrAFailingStepPrintsTheErrorAndKeepsTheOldPlayer) {
    testing::TempDirectory resources;
    BackgroundTask task(services(resources.path()));
    const auto none = task.player();
    task.startBackgroundTask();  // no sound file: no player
    task.stopBackgroundTask();
    EXPECT_EQ(task.player(), none);

    std::filesystem::copy_file(kSound, resources / "3.wav");
    task.playAudio();
    const auto player = task.player();
    session.categoryError = "category refused";
    console.take();
    task.playAudio();
    session.activeError = "activation refused";
    task.playAudio();
    resources.write("3.wav", "not a sound");
    task.playAudio();
    EXPECT_THAT(console.take(), ::testing::ElementsAre("play audio", "category refused", "play audio", "activation refused",
                                                       "play audio", ::testing::HasSubstr("Format not recognised")));
    EXPECT_EQ(task.player(), player);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, InterruptionsOnAnotherThreadOverlapMainThreadUse) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    constexpr int kRounds = 50;
    std::thread poster([&] { for (int i = 0; i < kRounds; ++i) center.post(kBegan); });
    for (int i = 0; i < kRounds; ++i) task.playAudio();
    poster.join();
    EXPECT_EQ(plays(), 2 * kRounds + 1);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST(NotificationCenter, CallsEachRegistrationOnThePostingThreadWithoutHoldingItsLock) {
    NotificationCenter center;
    const int observerA = 0, observerB = 0;
    int a = 0, b = 0;
    std::thread::id ranOn;
    center.addObserver(&observerA, "N", [&](const Notification&) { ++a; });
    center.addObserver(&observerA, "N", [&](const Notification&) { ++a; });
    center.addObserver(&observerA, "Other", [&](const Notification&) { ++a; });
    center.addObserver(&observerB, "N", [&](const Notification&) {
        ++b;
        ranOn = std::this_thread::get_id();
        center.removeObserver(&observerA, "N");  // coming back into the center must not deadlock
    });

    std::thread::id poster;
    std::thread thread([&] { poster = std::this_thread::get_id(); center.post(Notification{"N", std::nullopt}); });
    thread.join();
    EXPECT_EQ(std::tuple(a, b, ranOn), std::tuple(2, 1, poster));

    // The removal dropped both of A's registrations for "N" and nothing else.
    center.post(Notification{"N", std::nullopt});
    center.post(Notification{"Other", std::nullopt});
    EXPECT_EQ(std::tuple(a, b), std::tuple(3, 2));
}

}  // namespace
}  // namespace perfagent

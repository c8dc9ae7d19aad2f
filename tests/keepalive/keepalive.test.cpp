#include "keepalive/background_task.hpp"
#include "keepalive/notification_center.hpp"

#include "support/fake_shell.hpp"
#include "support/temp_directory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace perfagent {
namespace {

const std::filesystem::path kSound = std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources" / "3.wav";
const Notification kBegan = audioSessionInterruption(kAudioSessionInterruptionTypeBegan);

/// A keep-alive task's services: real players of the resources' sound file, the "play audio" lines counted.
struct BackgroundTaskTest : ::testing::Test, testing::FakeShell {
    BackgroundTaskTest() : FakeShell(kSound.parent_path()) {}
    long plays() { return std::ranges::count(console.take(), "play audio"); }
};

TEST_F(BackgroundTaskTest, StartLoopsANewPlayerAtFullVolumeAndOnlyABeganInterruptionRestartsIt) {
    BackgroundTask task(keepAlive());
    task.startBackgroundTask();
    const auto first = task.player();
    EXPECT_EQ(std::tuple(first->isPlaying(), first->numberOfLoops(), first->volume()), std::tuple(true, -1, 1.0f));

    // Registered under another name too, so a wrongly named notification does reach the task.
    notificationCenter.addObserver(&task, "OtherNotification", [&](const Notification& n) { task.interuptedAudio(n); });
    const std::string name(kAudioSessionInterruptionNotification), key(kAudioSessionInterruptionTypeKey);
    for (const Notification& ignored :
         {audioSessionInterruption(kAudioSessionInterruptionTypeEnded), audioSessionInterruption(2),
          Notification{"OtherNotification", NotificationUserInfo{{key, std::int64_t{1}}}}, Notification{name, std::nullopt},
          Notification{name, NotificationUserInfo{{"SomeOtherKey", std::int64_t{1}}}},
          Notification{name, NotificationUserInfo{{key, std::string("1")}}}})
        notificationCenter.post(ignored);
    EXPECT_EQ(task.player(), first);

    notificationCenter.post(kBegan);
    EXPECT_NE(task.player(), first);
    EXPECT_TRUE(first->isPlaying());  // released, not stopped
    EXPECT_EQ(first.use_count(), 1);  // only this test holds it now
}

TEST_F(BackgroundTaskTest, StartingTwiceRegistersTwiceAndOneStopOrTheTasksEndUndoesBoth) {
    std::optional<BackgroundTask> task(std::in_place, keepAlive());
    task->startBackgroundTask();
    task->startBackgroundTask();
    notificationCenter.post(kBegan);
    task->stopBackgroundTask();
    EXPECT_FALSE(task->player()->isPlaying());
    notificationCenter.post(kBegan);
    EXPECT_EQ(plays(), 4);  // two starts, then one interruption heard by both registrations

    task->startBackgroundTask();
    EXPECT_TRUE(task->player()->isPlaying());
    const void* registered = &*task;
    task.reset();
    EXPECT_EQ(notificationCenter.registrationCount(registered, kAudioSessionInterruptionNotification), 0u);
}

TEST_F(BackgroundTaskTest, AMissingFileOrAFailingStepPrintsTheErrorAndKeepsTheOldPlayer) {
    testing::TempDirectory folder;
    BackgroundTask task({console, notificationCenter, audioSession, players, folder.path()});
    const auto none = task.player();
    task.startBackgroundTask();  // no sound file: no player
    task.stopBackgroundTask();
    EXPECT_EQ(task.player(), none);

    std::filesystem::copy_file(kSound, folder / "3.wav");
    task.playAudio();
    const auto player = task.player();
    audioSession.categoryError = "category refused";
    console.take();
    task.playAudio();
    audioSession.categoryError.reset();
    audioSession.activeError = "activation refused";
    task.playAudio();
    audioSession.activeError.reset();
    folder.write("3.wav", "not a sound");
    task.playAudio();
    EXPECT_THAT(console.take(), ::testing::ElementsAre("play audio", "category refused", "play audio", "activation refused",
                                                       "play audio", ::testing::HasSubstr("Format not recognised")));
    EXPECT_EQ(task.player(), player);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, InterruptionsOnAnotherThreadOverlapMainThreadUse) {
    BackgroundTask task(keepAlive());
    task.startBackgroundTask();
    constexpr int kRounds = 50;
    std::thread poster([&] { for (int i = 0; i < kRounds; ++i) notificationCenter.post(kBegan); });
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

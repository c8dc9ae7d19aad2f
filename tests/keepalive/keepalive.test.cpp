#include "keepalive/background_task.hpp"

#include "support/recording_console.hpp"
#include "support/temp_directory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using ::testing::NiceMock;
using ::testing::Return;

const std::filesystem::path kResources = std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources";
const Notification kBegan = audioSessionInterruption(kAudioSessionInterruptionTypeBegan);

struct MockSession : AudioSession {
    MOCK_METHOD(std::optional<std::string>, setCategory, (std::string_view, std::string_view, std::uint64_t),
                (override));
    MOCK_METHOD(std::optional<std::string>, setActive, (bool, std::uint64_t), (override));
};

/// Makes real players of the sound file.
struct MockFactory : AudioPlayerFactory {
    MockFactory() {
        ON_CALL(*this, makePlayer).WillByDefault([](const std::filesystem::path& path, std::string& error) {
            return std::unique_ptr<AudioPlayer>(SndfileAudioPlayer::open(path, error));
        });
    }
    MOCK_METHOD(std::unique_ptr<AudioPlayer>, makePlayer, (const std::filesystem::path&, std::string&), (override));
};

class BackgroundTaskTest : public ::testing::Test {
protected:
    KeepAliveServices services(std::filesystem::path resources = kResources) {
        return KeepAliveServices{console, center, session, factory, std::move(resources)};
    }

    testing::RecordingConsole console;
    NotificationCenter center;
    NiceMock<MockSession> session;
    NiceMock<MockFactory> factory;
};

TEST_F(BackgroundTaskTest, StartLoopsANewPlayerAtFullVolumeAndOnlyABeganInterruptionRestartsIt) {
    BackgroundTask task(services());
    EXPECT_CALL(session, setCategory(kAudioSessionCategoryPlayback, kAudioSessionModeDefault, 0));
    EXPECT_CALL(session, setActive(true, 0));
    EXPECT_CALL(factory, makePlayer(kResources / "3.wav", ::testing::_));
    task.startBackgroundTask();
    const auto first = task.player();
    EXPECT_EQ(std::tuple(first->isPlaying(), first->numberOfLoops(), first->volume()), std::tuple(true, -1, 1.0f));
    ::testing::Mock::VerifyAndClearExpectations(&session);
    ::testing::Mock::VerifyAndClearExpectations(&factory);

    // Registered under another name too, so a wrongly named notification does reach the task.
    center.addObserver(&task, "OtherNotification", [&task](const Notification& n) { task.interuptedAudio(n); });
    const std::string name(kAudioSessionInterruptionNotification), key(kAudioSessionInterruptionTypeKey);
    EXPECT_CALL(factory, makePlayer).Times(0);
    for (const Notification& ignored :
         {audioSessionInterruption(kAudioSessionInterruptionTypeEnded), audioSessionInterruption(2),
          Notification{"OtherNotification", NotificationUserInfo{{key, std::int64_t{1}}}}, Notification{name, std::nullopt},
          Notification{name, NotificationUserInfo{{"SomeOtherKey", std::int64_t{1}}}},
          Notification{name, NotificationUserInfo{{key, std::string("1")}}}})
        center.post(ignored);
    EXPECT_EQ(task.player(), first);
    ::testing::Mock::VerifyAndClearExpectations(&factory);

    center.post(kBegan);
    EXPECT_NE(task.player(), first);
    EXPECT_TRUE(first->isPlaying());  // released, not stopped
    EXPECT_EQ(first.use_count(), 1);  // only this test holds it now
}

TEST_F(BackgroundTaskTest, StartingTwiceRegistersTwiceAndOneStopOrTheTasksEndUndoesBoth) {
    std::optional<BackgroundTask> task(std::in_place, services());
    EXPECT_CALL(factory, makePlayer).Times(4);
    task->startBackgroundTask();
    task->startBackgroundTask();
    center.post(kBegan);
    task->stopBackgroundTask();
    EXPECT_EQ(center.registrationCount(&*task, kAudioSessionInterruptionNotification), 0u);
    EXPECT_FALSE(task->player()->isPlaying());
    center.post(kBegan);
    ::testing::Mock::VerifyAndClearExpectations(&factory);

    task->startBackgroundTask();
    EXPECT_TRUE(task->player()->isPlaying());
    task.reset();
    EXPECT_CALL(factory, makePlayer).Times(0);
    center.post(kBegan);
}

TEST_F(BackgroundTaskTest, AMissingFileOrAFailingStepPrintsTheErrorAndKeepsTheOldPlayer) {
    testing::TempDirectory empty;
    BackgroundTask silent(services(empty.path()));
    const auto none = silent.player();
    EXPECT_CALL(session, setCategory).Times(0);
    silent.startBackgroundTask();  // no sound file: no session set up, no player
    silent.stopBackgroundTask();
    EXPECT_EQ(silent.player(), none);
    ::testing::Mock::VerifyAndClearExpectations(&session);

    BackgroundTask task(services());
    task.startBackgroundTask();
    const auto player = task.player();
    EXPECT_CALL(session, setCategory).WillOnce(Return("category refused")).WillRepeatedly(Return(std::nullopt));
    EXPECT_CALL(session, setActive).WillOnce(Return("activation refused")).WillRepeatedly(Return(std::nullopt));
    EXPECT_CALL(factory, makePlayer).WillOnce([](const std::filesystem::path&, std::string& error) {
        error = "not a sound";
        return nullptr;
    });
    console.take();
    for (int i = 0; i < 3; ++i) task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", "category refused", "play audio", "activation refused",
                                            "play audio", "not a sound"));
    EXPECT_EQ(task.player(), player);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, InterruptionsOnAnotherThreadOverlapMainThreadUse) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    constexpr int kRounds = 50;
    EXPECT_CALL(factory, makePlayer).Times(2 * kRounds);

    std::thread poster([&] { for (int i = 0; i < kRounds; ++i) center.post(kBegan); });
    for (int i = 0; i < kRounds; ++i) task.playAudio();
    poster.join();
    EXPECT_TRUE(task.player()->isPlaying());
}

}  // namespace
}  // namespace perfagent

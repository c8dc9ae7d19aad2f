#include "keepalive/background_task.hpp"

#include "support/recording_console.hpp"
#include "support/temp_directory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sndfile.h>

#include <thread>

namespace perfagent {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::NiceMock;
using ::testing::Return;
using testing::RecordingConsole;
using testing::TempDirectory;

const std::filesystem::path kResources = std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources";
const Notification kBegan = audioSessionInterruption(kAudioSessionInterruptionTypeBegan);

struct MockSession : AudioSession {
    MOCK_METHOD(std::optional<std::string>, setCategory, (std::string_view, std::string_view, std::uint64_t),
                (override));
    MOCK_METHOD(std::optional<std::string>, setActive, (bool, std::uint64_t), (override));
};

/// Makes real players of the sound file, counting them.
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

    RecordingConsole console;
    NotificationCenter center;
    NiceMock<MockSession> session;
    NiceMock<MockFactory> factory;
};

TEST_F(BackgroundTaskTest, StartPrintsBothLinesAndLoopsANewPlayerAtFullVolume) {
    BackgroundTask task(services());
    const auto empty = task.player();
    EXPECT_CALL(session, setCategory(kAudioSessionCategoryPlayback, kAudioSessionModeDefault, 0));
    EXPECT_CALL(session, setActive(true, 0));
    EXPECT_CALL(factory, makePlayer(kResources / "3.wav", _));

    task.startBackgroundTask();

    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio"));
    EXPECT_NE(task.player(), empty);
    EXPECT_TRUE(task.player()->isPlaying());
    EXPECT_EQ(task.player()->numberOfLoops(), -1);
    EXPECT_EQ(task.player()->volume(), 1.0f);
}

TEST_F(BackgroundTaskTest, OnlyABeganInterruptionRestartsWithANewPlayerWithoutStoppingTheOld) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    // Registered under another name too, so a wrongly named notification does reach the task.
    center.addObserver(&task, "OtherNotification", [&task](const Notification& n) { task.interuptedAudio(n); });
    const auto first = task.player();

    const std::string name(kAudioSessionInterruptionNotification);
    const std::string key(kAudioSessionInterruptionTypeKey);
    EXPECT_CALL(factory, makePlayer).Times(0);
    center.post(audioSessionInterruption(kAudioSessionInterruptionTypeEnded));
    center.post(audioSessionInterruption(2));
    center.post(Notification{"OtherNotification", NotificationUserInfo{{key, std::int64_t{1}}}});
    center.post(Notification{name, std::nullopt});
    center.post(Notification{name, NotificationUserInfo{{"SomeOtherKey", std::int64_t{1}}}});
    center.post(Notification{name, NotificationUserInfo{{key, std::string("1")}}});
    EXPECT_EQ(task.player(), first);
    ::testing::Mock::VerifyAndClearExpectations(&factory);

    center.post(kBegan);
    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio", "play audio"));
    EXPECT_NE(task.player(), first);
    EXPECT_TRUE(first->isPlaying());  // released, not stopped
    EXPECT_EQ(first.use_count(), 1);  // only this test holds it now
}

TEST_F(BackgroundTaskTest, StartingTwiceRegistersTwiceAndOneStopUndoesBoth) {
    BackgroundTask task(services());
    EXPECT_CALL(factory, makePlayer).Times(4);
    task.startBackgroundTask();
    task.startBackgroundTask();
    center.post(kBegan);

    task.stopBackgroundTask();
    EXPECT_EQ(center.registrationCount(&task, kAudioSessionInterruptionNotification), 0u);
    EXPECT_FALSE(task.player()->isPlaying());
    center.post(kBegan);
    ::testing::Mock::VerifyAndClearExpectations(&factory);

    task.startBackgroundTask();
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, MissingSoundFileStopsSilentlyAfterPlayAudio) {
    TempDirectory empty;
    BackgroundTask task(services(empty.path()));
    const auto player = task.player();
    EXPECT_CALL(session, setCategory).Times(0);
    EXPECT_CALL(factory, makePlayer).Times(0);

    task.startBackgroundTask();
    task.stopBackgroundTask();

    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio"));
    EXPECT_EQ(task.player(), player);
}

TEST_F(BackgroundTaskTest, FailingSessionStepOrPlayerPrintsTheErrorAndKeepsTheOldPlayer) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    const auto player = task.player();
    console.take();

    EXPECT_CALL(session, setCategory).WillOnce(Return("category refused"));
    EXPECT_CALL(session, setActive).Times(0);
    task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", "category refused"));
    ::testing::Mock::VerifyAndClearExpectations(&session);

    EXPECT_CALL(session, setActive).WillOnce(Return("activation refused"));
    task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", "activation refused"));
    ::testing::Mock::VerifyAndClearExpectations(&session);

    // The real player's error text: libsndfile's description of a file that is not a sound.
    TempDirectory other;
    const auto corrupt = other.write("3.wav", "RIFF\x10\x00\x00\x00WAVEjunk that is not a sound");
    SF_INFO info{};
    ASSERT_EQ(sf_open(corrupt.c_str(), SFM_READ, &info), nullptr);
    const std::string libsndfileSays = sf_strerror(nullptr);
    EXPECT_CALL(factory, makePlayer).WillOnce([&](const std::filesystem::path&, std::string& error) {
        return std::unique_ptr<AudioPlayer>(SndfileAudioPlayer::open(corrupt, error));
    });
    task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", libsndfileSays));

    EXPECT_EQ(task.player(), player);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, InterruptionsOnAnotherThreadOverlapMainThreadUse) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    constexpr int kRounds = 50;
    EXPECT_CALL(factory, makePlayer).Times(2 * kRounds);

    std::thread poster([&] {
        for (int i = 0; i < kRounds; ++i) center.post(kBegan);
    });
    for (int i = 0; i < kRounds; ++i) {
        task.playAudio();
        EXPECT_EQ(task.player()->numberOfLoops(), -1);
    }
    poster.join();
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, DestroyedTaskLeavesNoRegistrationBehind) {
    std::optional<BackgroundTask> task(std::in_place, services());
    task->startBackgroundTask();
    task.reset();

    EXPECT_CALL(factory, makePlayer).Times(0);
    center.post(kBegan);
}

}  // namespace
}  // namespace perfagent

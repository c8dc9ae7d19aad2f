#include "keepalive/background_task.hpp"

#include "support/fake_audio.hpp"
#include "support/recording_console.hpp"
#include "support/temp_directory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sndfile.h>

#include <thread>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using testing::FakeAudioPlayerFactory;
using testing::FakeAudioSession;
using testing::RecordingConsole;
using testing::TempDirectory;

const std::filesystem::path kResources = std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources";
const Notification kBegan = audioSessionInterruption(kAudioSessionInterruptionTypeBegan);

class BackgroundTaskTest : public ::testing::Test {
protected:
    KeepAliveServices services(std::filesystem::path resources = kResources) {
        return KeepAliveServices{console, center, session, factory, std::move(resources)};
    }

    RecordingConsole console;
    NotificationCenter center;
    FakeAudioSession session;
    FakeAudioPlayerFactory factory;
};

TEST_F(BackgroundTaskTest, StartPrintsBothLinesAndLoopsANewPlayerAtFullVolume) {
    BackgroundTask task(services());
    const auto empty = task.player();
    EXPECT_FALSE(empty->isPlaying());

    task.startBackgroundTask();

    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio"));
    EXPECT_THAT(session.calls(),
                ElementsAre("setCategory AVAudioSessionCategoryPlayback AVAudioSessionModeDefault 0", "setActive 1 0"));
    const auto players = factory.players();
    ASSERT_EQ(players.size(), 1u);
    EXPECT_EQ(players[0].path, kResources / "3.wav");
    EXPECT_THAT(players[0].calls, ElementsAre("setNumberOfLoops", "setVolume", "prepareToPlay", "play"));
    EXPECT_EQ(players[0].numberOfLoops, -1);
    EXPECT_EQ(players[0].volume, 1.0f);
    EXPECT_NE(task.player(), empty);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, InterruptionThatBeganRestartsWithANewPlayerWithoutStoppingTheOld) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    const AudioPlayer* first = task.player().get();  // not kept alive by the test

    center.post(kBegan);

    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio", "play audio"));
    const auto players = factory.players();
    ASSERT_EQ(players.size(), 2u);
    EXPECT_EQ(players[0].stopCount, 0);
    EXPECT_TRUE(players[0].destroyed);
    EXPECT_TRUE(players[1].playing);
    EXPECT_NE(task.player().get(), first);
}

TEST_F(BackgroundTaskTest, NotificationsOtherThanABeganInterruptionChangeNothing) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    // Registered under another name too, so a wrongly named notification does reach the task.
    center.addObserver(&task, "OtherNotification", [&task](const Notification& n) { task.interuptedAudio(n); });
    const auto player = task.player();

    const std::string name(kAudioSessionInterruptionNotification);
    const std::string key(kAudioSessionInterruptionTypeKey);
    center.post(audioSessionInterruption(kAudioSessionInterruptionTypeEnded));
    center.post(audioSessionInterruption(2));
    center.post(Notification{"OtherNotification", NotificationUserInfo{{key, std::int64_t{1}}}});
    center.post(Notification{name, std::nullopt});
    center.post(Notification{name, NotificationUserInfo{{"SomeOtherKey", std::int64_t{1}}}});
    center.post(Notification{name, NotificationUserInfo{{key, std::string("1")}}});

    EXPECT_EQ(console.lines().size(), 2u);
    EXPECT_EQ(factory.attempts(), 1u);
    EXPECT_EQ(task.player(), player);
}

TEST_F(BackgroundTaskTest, StartingTwiceRegistersTwiceAndOneStopUndoesBoth) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    task.startBackgroundTask();
    center.post(kBegan);
    EXPECT_EQ(factory.attempts(), 4u);

    task.stopBackgroundTask();
    EXPECT_EQ(center.registrationCount(&task, kAudioSessionInterruptionNotification), 0u);
    EXPECT_EQ(factory.players().back().stopCount, 1);
    EXPECT_FALSE(task.player()->isPlaying());
    center.post(kBegan);
    EXPECT_EQ(factory.attempts(), 4u);

    task.startBackgroundTask();
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, MissingSoundFileStopsSilentlyAfterPlayAudio) {
    TempDirectory empty;
    BackgroundTask task(services(empty.path()));
    const auto player = task.player();

    task.startBackgroundTask();
    task.stopBackgroundTask();

    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio"));
    EXPECT_TRUE(session.calls().empty());
    EXPECT_EQ(factory.attempts(), 0u);
    EXPECT_EQ(task.player(), player);
}

TEST_F(BackgroundTaskTest, FailingSessionStepOrPlayerPrintsTheErrorAndKeepsTheOldPlayer) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    const auto player = task.player();
    console.take();

    session.failCategoryWith("category refused");
    task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", "category refused"));
    EXPECT_EQ(session.calls().size(), 3u);  // activation not attempted

    session.failCategoryWith(std::nullopt);
    session.failActivationWith("activation refused");
    task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", "activation refused"));

    session.failActivationWith(std::nullopt);
    factory.failWith("cannot decode");
    task.playAudio();
    EXPECT_THAT(console.take(), ElementsAre("play audio", "cannot decode"));

    EXPECT_EQ(factory.players().size(), 1u);
    EXPECT_EQ(task.player(), player);
    EXPECT_TRUE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, CorruptSoundFilePrintsLibsndfilesErrorText) {
    TempDirectory resources;
    const auto path = resources.write("3.wav", "RIFF\x10\x00\x00\x00WAVEjunk that is not a sound");
    SF_INFO info{};
    ASSERT_EQ(sf_open(path.c_str(), SFM_READ, &info), nullptr);
    const std::string libsndfileSays = sf_strerror(nullptr);

    SndfileAudioPlayerFactory real;
    BackgroundTask task(KeepAliveServices{console, center, session, real, resources.path()});
    task.startBackgroundTask();

    EXPECT_THAT(console.lines(), ElementsAre("testbackground", "play audio", libsndfileSays));
    EXPECT_FALSE(task.player()->isPlaying());
}

TEST_F(BackgroundTaskTest, InterruptionsOnAnotherThreadOverlapMainThreadUse) {
    BackgroundTask task(services());
    task.startBackgroundTask();
    constexpr int kRounds = 200;

    std::thread poster([&] {
        for (int i = 0; i < kRounds; ++i) center.post(kBegan);
    });
    for (int i = 0; i < kRounds; ++i) {
        task.playAudio();
        EXPECT_EQ(task.player()->numberOfLoops(), -1);
    }
    poster.join();

    EXPECT_EQ(factory.attempts(), 1u + 2u * kRounds);
    EXPECT_FALSE(factory.players().back().destroyed);  // the newest player is the one kept
}

TEST_F(BackgroundTaskTest, DestroyedTaskLeavesNoRegistrationBehind) {
    std::optional<BackgroundTask> task(std::in_place, services());
    task->startBackgroundTask();
    task.reset();

    center.post(kBegan);
    EXPECT_EQ(factory.attempts(), 1u);
}

}  // namespace
}  // namespace perfagent

#include "platform/audio.hpp"

#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

namespace perfagent {
namespace {

using testing::TempDirectory;

TEST(SndfileAudioPlayer, DecodesEveryFrameOfEveryChannel) {
    TempDirectory dir;
    const auto path = dir / "tone.wav";
    // More frames than one read block, two channels with different ramps.
    constexpr int kFrames = 10'001;
    std::vector<short> written(2 * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        written[2 * i] = static_cast<short>(i % 30'000);
        written[2 * i + 1] = static_cast<short>(-(i % 20'000));
    }
    SF_INFO info{};
    info.samplerate = 4000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_short(out, written.data(), kFrames), kFrames);
    sf_close(out);

    std::string error;
    auto player = SndfileAudioPlayer::open(path, error);
    ASSERT_NE(player, nullptr) << error;
    EXPECT_EQ(player->channels(), 2);
    EXPECT_EQ(player->sampleRate(), 4000);
    ASSERT_EQ(player->frames(), static_cast<std::size_t>(kFrames));
    EXPECT_DOUBLE_EQ(player->duration(), kFrames / 4000.0);
    const auto& samples = player->samples();
    for (int i : {0, 4095, 4096, 8192, kFrames - 1}) {
        EXPECT_FLOAT_EQ(samples[2 * i], written[2 * i] / 32768.0f) << i;
        EXPECT_FLOAT_EQ(samples[2 * i + 1], written[2 * i + 1] / 32768.0f) << i;
    }
}

TEST(SndfileAudioPlayer, RefusesAnythingButARegularFileAtOnce) {
    TempDirectory dir;
    const auto fifo = dir / "fifo.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it for reading used to wait for a writer
    const auto link = dir / "link.wav";
    std::filesystem::create_symlink(std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources" / "3.wav", link);
    for (const auto& path : {fifo, link}) {
        std::string error;
        EXPECT_EQ(SndfileAudioPlayer::open(path, error), nullptr);
        EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    }
}

SndfileAudioPlayer::Clock::time_point fakeNow;
SndfileAudioPlayer::Clock::time_point readFakeNow() { return fakeNow; }
void setFakeSeconds(double seconds) {
    fakeNow = SndfileAudioPlayer::Clock::time_point(std::chrono::duration_cast<SndfileAudioPlayer::Clock::duration>(
        std::chrono::duration<double>(seconds)));
}

TEST(SndfileAudioPlayer, ShippedSoundLoopsAndRewindsAfterTheLastRepeat) {
    std::string error;
    auto player = SndfileAudioPlayer::open(std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources" / "3.wav", error,
                                           &readFakeNow);
    ASSERT_NE(player, nullptr) << error;
    const double length = player->duration();
    ASSERT_GT(length, 0.0);
    EXPECT_FALSE(player->isPlaying());

    setFakeSeconds(100.0);
    player->setNumberOfLoops(-1);
    ASSERT_TRUE(player->play());
    setFakeSeconds(100.0 + 2.5 * length);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_NEAR(player->currentTime(), 0.5 * length, 1e-9);

    // Stopping keeps the position; playing again continues from it.
    player->stop();
    EXPECT_FALSE(player->isPlaying());
    setFakeSeconds(200.0);
    EXPECT_NEAR(player->currentTime(), 0.5 * length, 1e-9);
    player->play();
    setFakeSeconds(200.0 + 0.25 * length);
    EXPECT_NEAR(player->currentTime(), 0.75 * length, 1e-9);

    // With two repeats the sound is heard three times in all, then the player rewinds and stops.
    player->stop();
    player->setNumberOfLoops(2);
    player->play();  // from 0.75
    setFakeSeconds(200.0 + 0.25 * length + 2.0 * length);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_NEAR(player->currentTime(), 0.75 * length, 1e-9);
    setFakeSeconds(200.0 + 0.25 * length + 2.3 * length);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentTime(), 0.0);
}

}  // namespace
}  // namespace perfagent

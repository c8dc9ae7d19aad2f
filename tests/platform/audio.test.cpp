#include "platform/audio.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

namespace perfagent {
namespace {

const std::filesystem::path kSound = std::filesystem::path(PERFAGENT_SOURCE_DIR) / "resources" / "3.wav";

TEST(SndfileAudioPlayer, DecodesEveryFrameOfEveryChannelAndRefusesAnythingButARegularFile) {
    testing::TempDirectory dir;
    const auto path = dir / "tone.wav";
    // More frames than one read block, two channels with different ramps.
    constexpr int kFrames = 10'001;
    std::vector<short> written(2 * kFrames);
    for (int i = 0; i < 2 * kFrames; ++i) written[i] = static_cast<short>(i % 2 ? -(i / 2 % 20'000) : i / 2 % 30'000);
    SF_INFO info{.frames = 0, .samplerate = 4000, .channels = 2, .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                 .sections = 0, .seekable = 0};
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_EQ(sf_writef_short(out, written.data(), kFrames), kFrames) << sf_strerror(nullptr);
    sf_close(out);

    auto opened = SndfileAudioPlayer::open(path);
    ASSERT_TRUE(opened) << opened.error().message;
    const auto& player = *opened;
    ASSERT_EQ(std::tuple(player->channels(), player->frames(), player->duration()),
              std::tuple(2, std::size_t{kFrames}, kFrames / 4000.0));
    for (int i : {0, 1, 8191, 8192, 8193, 2 * kFrames - 1})
        EXPECT_FLOAT_EQ(player->samples()[i], written[i] / 32768.0f) << i;

    const auto fifo = dir / "fifo.wav", link = dir / "link.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it for reading used to wait for a writer
    std::filesystem::create_symlink(kSound, link);
    for (const auto& refused : {fifo, link}) {
        const auto opened = SndfileAudioPlayer::open(refused);
        ASSERT_FALSE(opened);
        EXPECT_NE(opened.error().message.find(refused.string()), std::string::npos) << opened.error().message;
    }
}

SndfileAudioPlayer::Clock::time_point fakeNow;

TEST(SndfileAudioPlayer, ShippedSoundLoopsAndRewindsAfterTheLastRepeat) {
    auto opened = SndfileAudioPlayer::open(kSound, [] { return fakeNow; });
    ASSERT_TRUE(opened) << opened.error().message;
    const auto& player = *opened;
    const double length = player->duration();
    ASSERT_GT(length, 0.0);
    const auto at = [&](double lengths) {  // the fake clock, in lengths of the sound
        fakeNow = SndfileAudioPlayer::Clock::time_point(std::chrono::duration_cast<SndfileAudioPlayer::Clock::duration>(
            std::chrono::duration<double>(lengths * length)));
    };
    at(100.0);
    player->setNumberOfLoops(-1);
    ASSERT_TRUE(player->play());
    at(102.5);
    EXPECT_NEAR(player->currentTime(), 0.5 * length, 1e-9);
    // Stopping keeps the position; playing again continues from it.
    player->stop();
    EXPECT_FALSE(player->isPlaying());
    at(200.0);
    EXPECT_NEAR(player->currentTime(), 0.5 * length, 1e-9);
    player->play();
    at(200.25);
    EXPECT_NEAR(player->currentTime(), 0.75 * length, 1e-6);
    // With two repeats the sound is heard three times in all, then the player rewinds and stops.
    player->stop();
    player->setNumberOfLoops(2);
    player->play();  // from 0.75
    at(202.25);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_NEAR(player->currentTime(), 0.75 * length, 1e-6);
    at(202.55);
    EXPECT_EQ(std::pair(player->isPlaying(), player->currentTime()), std::pair(false, 0.0));
}

}  // namespace
}  // namespace perfagent

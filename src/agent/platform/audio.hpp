#pragma once

#include "base/result.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

inline constexpr std::string_view kAudioSessionCategoryPlayback = "AVAudioSessionCategoryPlayback";
inline constexpr std::string_view kAudioSessionModeDefault = "AVAudioSessionModeDefault";

/// @brief The process-wide audio session: its category, mode and activation.
///
/// Each operation fails with the error's one-line description.
class AudioSession {
public:
    virtual ~AudioSession() = default;
    virtual Result<void> setCategory(std::string_view category, std::string_view mode, std::uint64_t options) = 0;
    virtual Result<void> setActive(bool active, std::uint64_t options) = 0;
};

/// @brief The audio session on this host: nothing reaches a sound device, so every request succeeds.
class HostAudioSession final : public AudioSession {
public:
    Result<void> setCategory(std::string_view, std::string_view, std::uint64_t) override { return {}; }
    Result<void> setActive(bool, std::uint64_t) override { return {}; }
};

/// @brief A sound player. One thread at a time (BackgroundTask serialises its calls).
class AudioPlayer {
public:
    virtual ~AudioPlayer() = default;
    /// -1 repeats until stopped; n >= 0 plays the sound n more times after the first.
    virtual void setNumberOfLoops(std::int64_t loops) = 0;
    virtual std::int64_t numberOfLoops() const = 0;
    virtual void setVolume(float volume) = 0;
    virtual float volume() const = 0;
    virtual bool prepareToPlay() = 0;
    /// Starts (or resumes) playback at once; false when there is nothing to play.
    virtual bool play() = 0;
    /// Stops playback; a later play resumes where it stopped.
    virtual void stop() = 0;
    virtual bool isPlaying() const = 0;
    /// Seconds into the sound.
    virtual double currentTime() const = 0;
    /// Length of the sound in seconds.
    virtual double duration() const = 0;
};

/// @brief A player made with no sound: it never plays, and stop does nothing.
class EmptyAudioPlayer final : public AudioPlayer {
public:
    void setNumberOfLoops(std::int64_t loops) override { loops_ = loops; }
    std::int64_t numberOfLoops() const override { return loops_; }
    void setVolume(float volume) override { volume_ = volume; }
    float volume() const override { return volume_; }
    bool prepareToPlay() override { return false; }
    bool play() override { return false; }
    void stop() override {}
    bool isPlaying() const override { return false; }
    double currentTime() const override { return 0.0; }
    double duration() const override { return 0.0; }

private:
    std::int64_t loops_ = 0;
    float volume_ = 1.0f;
};

/// @brief A player of a sound file decoded in full with libsndfile. It plays into a silent sink: no
/// sound is output, only the playing state and the position (from the instant play started) are kept.
class SndfileAudioPlayer final : public AudioPlayer {
public:
    using Clock = std::chrono::steady_clock;
    using Now = Clock::time_point (*)();

    /// Decodes the whole file; fails with a one-line description of the problem (libsndfile's, when it
    /// refused the file). `now` is the time source for the playing position.
    static Result<std::unique_ptr<SndfileAudioPlayer>> open(const std::filesystem::path& path, Now now = &Clock::now);

    void setNumberOfLoops(std::int64_t loops) override { loops_ = loops; }
    std::int64_t numberOfLoops() const override { return loops_; }
    void setVolume(float volume) override;
    float volume() const override { return volume_; }
    bool prepareToPlay() override;
    bool play() override;
    void stop() override;
    bool isPlaying() const override;
    double currentTime() const override;
    double duration() const override;

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    /// Decoded frames (one sample per channel each).
    std::size_t frames() const { return samples_.size() / static_cast<std::size_t>(channels_); }
    /// Interleaved samples in [-1, 1].
    const std::vector<float>& samples() const { return samples_; }

private:
    SndfileAudioPlayer(std::vector<float> samples, int sampleRate, int channels, Now now);
    /// Seconds of sound played since play(), counting repeats, not yet wrapped or capped.
    double elapsedSincePlay() const;

    std::vector<float> samples_;
    int sampleRate_;
    int channels_;
    Now now_;
    std::int64_t loops_ = 0;
    float volume_ = 1.0f;
    bool prepared_ = false;
    bool playing_ = false;
    double startPosition_ = 0.0;  // position when play() was called
    Clock::time_point playedAt_{};
};

/// @brief Makes players for sound files (an interface so tests can count and inspect them).
class AudioPlayerFactory {
public:
    virtual ~AudioPlayerFactory() = default;
    /// A player for the file, or a one-line description of why not.
    virtual Result<std::unique_ptr<AudioPlayer>> makePlayer(const std::filesystem::path& path) = 0;
};

class SndfileAudioPlayerFactory final : public AudioPlayerFactory {
public:
    Result<std::unique_ptr<AudioPlayer>> makePlayer(const std::filesystem::path& path) override {
        auto player = SndfileAudioPlayer::open(path);
        if (!player) return player.error();
        return std::unique_ptr<AudioPlayer>(std::move(*player));
    }
};

}  // namespace perfagent

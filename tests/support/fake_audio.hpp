#pragma once

#include "platform/audio.hpp"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace perfagent::testing {

/// @brief An audio session that records what it was asked and can be told to refuse either step.
class FakeAudioSession final : public AudioSession {
public:
    std::optional<std::string> setCategory(std::string_view category, std::string_view mode,
                                           std::uint64_t options) override;
    std::optional<std::string> setActive(bool active, std::uint64_t options) override;

    /// From now on setCategory fails with this description (nothing: succeeds again).
    void failCategoryWith(std::optional<std::string> description);
    /// From now on setActive fails with this description (nothing: succeeds again).
    void failActivationWith(std::optional<std::string> description);

    /// Every request in order, as "setCategory <category> <mode> <options>" or
    /// "setActive <0|1> <options>".
    std::vector<std::string> calls() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> categoryError_;
    std::optional<std::string> activationError_;
    std::vector<std::string> calls_;
};

/// @brief What a FakeAudioPlayer was told; kept after the player is gone so a test can look at a
/// replaced one.
struct FakePlayerRecord {
    std::filesystem::path path;
    std::int64_t numberOfLoops = 0;
    float volume = 1.0f;
    bool playing = false;
    int stopCount = 0;
    bool destroyed = false;
    /// Every call in order: "setNumberOfLoops", "setVolume", "prepareToPlay", "play", "stop".
    std::vector<std::string> calls;
};

/// @brief Makes players that only record their calls, or fails with a given description.
/// Safe from any thread.
class FakeAudioPlayerFactory final : public AudioPlayerFactory {
public:
    std::unique_ptr<AudioPlayer> makePlayer(const std::filesystem::path& path, std::string& error) override;

    /// From now on making a player fails with this description (nothing: succeeds again).
    void failWith(std::optional<std::string> description);

    /// A snapshot of the records of every player made so far, oldest first.
    std::vector<FakePlayerRecord> players() const;
    std::size_t attempts() const;

private:
    // Shared with the players, which may outlive the factory.
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::optional<std::string> error_;
    std::size_t attempts_ = 0;
    std::vector<std::shared_ptr<FakePlayerRecord>> players_;
};

}  // namespace perfagent::testing

#include "support/fake_audio.hpp"

namespace perfagent::testing {

std::optional<std::string> FakeAudioSession::setCategory(std::string_view category, std::string_view mode,
                                                         std::uint64_t options) {
    std::lock_guard lock(mutex_);
    calls_.push_back("setCategory " + std::string(category) + " " + std::string(mode) + " " + std::to_string(options));
    return categoryError_;
}

std::optional<std::string> FakeAudioSession::setActive(bool active, std::uint64_t options) {
    std::lock_guard lock(mutex_);
    calls_.push_back("setActive " + std::to_string(active ? 1 : 0) + " " + std::to_string(options));
    return activationError_;
}

void FakeAudioSession::failCategoryWith(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    categoryError_ = std::move(description);
}

void FakeAudioSession::failActivationWith(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    activationError_ = std::move(description);
}

std::vector<std::string> FakeAudioSession::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

namespace {

/// Each player writes its own record under the factory's mutex, since a test may take a snapshot while
/// a player on another thread is being used.
class FakeAudioPlayer final : public AudioPlayer {
public:
    FakeAudioPlayer(std::shared_ptr<FakePlayerRecord> record, std::shared_ptr<std::mutex> mutex)
        : record_(std::move(record)), mutex_(std::move(mutex)) {}
    ~FakeAudioPlayer() override {
        std::lock_guard lock(*mutex_);
        record_->destroyed = true;
    }

    void setNumberOfLoops(std::int64_t loops) override {
        std::lock_guard lock(*mutex_);
        record_->calls.emplace_back("setNumberOfLoops");
        record_->numberOfLoops = loops;
    }
    std::int64_t numberOfLoops() const override {
        std::lock_guard lock(*mutex_);
        return record_->numberOfLoops;
    }
    void setVolume(float volume) override {
        std::lock_guard lock(*mutex_);
        record_->calls.emplace_back("setVolume");
        record_->volume = volume;
    }
    float volume() const override {
        std::lock_guard lock(*mutex_);
        return record_->volume;
    }
    bool prepareToPlay() override {
        std::lock_guard lock(*mutex_);
        record_->calls.emplace_back("prepareToPlay");
        return true;
    }
    bool play() override {
        std::lock_guard lock(*mutex_);
        record_->calls.emplace_back("play");
        record_->playing = true;
        return true;
    }
    void stop() override {
        std::lock_guard lock(*mutex_);
        record_->calls.emplace_back("stop");
        ++record_->stopCount;
        record_->playing = false;
    }
    bool isPlaying() const override {
        std::lock_guard lock(*mutex_);
        return record_->playing;
    }
    double currentTime() const override { return 0.0; }
    double duration() const override { return 1.0; }

private:
    std::shared_ptr<FakePlayerRecord> record_;
    std::shared_ptr<std::mutex> mutex_;
};

}  // namespace

std::unique_ptr<AudioPlayer> FakeAudioPlayerFactory::makePlayer(const std::filesystem::path& path,
                                                                std::string& error) {
    std::lock_guard lock(*mutex_);
    ++attempts_;
    if (error_) {
        error = *error_;
        return nullptr;
    }
    auto record = std::make_shared<FakePlayerRecord>();
    record->path = path;
    players_.push_back(record);
    return std::make_unique<FakeAudioPlayer>(std::move(record), mutex_);
}

void FakeAudioPlayerFactory::failWith(std::optional<std::string> description) {
    std::lock_guard lock(*mutex_);
    error_ = std::move(description);
}

std::vector<FakePlayerRecord> FakeAudioPlayerFactory::players() const {
    std::lock_guard lock(*mutex_);
    std::vector<FakePlayerRecord> snapshot;
    for (const auto& record : players_) snapshot.push_back(*record);
    return snapshot;
}

std::size_t FakeAudioPlayerFactory::attempts() const {
    std::lock_guard lock(*mutex_);
    return attempts_;
}

}  // namespace perfagent::testing

#include "platform/audio.hpp"

#include "os/files.hpp"

#include <sndfile.h>

#include <cmath>

namespace perfagent {

namespace {

/// libsndfile's error text as one console line: line breaks become blanks, trailing blanks go.
std::string oneLine(const char* text) {
    std::string line = text != nullptr ? text : "unknown libsndfile error";
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

Result<std::unique_ptr<SndfileAudioPlayer>> SndfileAudioPlayer::open(const std::filesystem::path& path, Now now) {
    // Not followed through a symbolic link, and a FIFO or device in its place is refused at once.
    const auto fd = openRegularFile(path, false);
    if (!fd) return fd.error();
    SF_INFO info{};
    // The descriptor stays ours (closed after the file, which is dropped first) also when sf_open_fd fails.
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open_fd(fd->get(), SFM_READ, &info, SF_FALSE));
    if (!file) return failure(oneLine(sf_strerror(nullptr)));
    if (info.channels <= 0 || info.samplerate <= 0) return failure("The sound file has no channels or no sample rate.");

    // Read in blocks until the end rather than trusting the frame count of a possibly damaged header.
    constexpr sf_count_t kBlockFrames = 4096;
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> samples;
    for (;;) {
        const std::size_t used = samples.size();
        samples.resize(used + static_cast<std::size_t>(kBlockFrames) * channels);
        const sf_count_t read = sf_readf_float(file.get(), samples.data() + used, kBlockFrames);
        samples.resize(used + static_cast<std::size_t>(read > 0 ? read : 0) * channels);
        if (read < kBlockFrames) break;
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) return failure(oneLine(sf_strerror(file.get())));
    if (samples.empty()) return failure("The sound file holds no audio frames.");
    return std::unique_ptr<SndfileAudioPlayer>(
        new SndfileAudioPlayer(std::move(samples), info.samplerate, info.channels, now));
}

SndfileAudioPlayer::SndfileAudioPlayer(std::vector<float> samples, int sampleRate, int channels, Now now)
    : samples_(std::move(samples)), sampleRate_(sampleRate), channels_(channels), now_(now) {}

void SndfileAudioPlayer::setVolume(float volume) {
    if (!(volume >= 0.0f)) volume = 0.0f;  // also catches NaN
    volume_ = volume > 1.0f ? 1.0f : volume;
}

bool SndfileAudioPlayer::prepareToPlay() {
    // The whole sound is decoded already; there are no buffers to fill.
    prepared_ = true;
    return true;
}

bool SndfileAudioPlayer::play() {
    if (isPlaying()) return true;
    startPosition_ = currentTime();
    prepared_ = true;
    playing_ = true;
    playedAt_ = now_();
    return true;
}

void SndfileAudioPlayer::stop() {
    startPosition_ = currentTime();
    playing_ = false;
    prepared_ = false;
}

double SndfileAudioPlayer::duration() const {
    return static_cast<double>(frames()) / static_cast<double>(sampleRate_);
}

double SndfileAudioPlayer::elapsedSincePlay() const {
    return startPosition_ + std::chrono::duration<double>(now_() - playedAt_).count();
}

bool SndfileAudioPlayer::isPlaying() const {
    if (!playing_) return false;
    if (loops_ < 0) return true;
    return elapsedSincePlay() < (static_cast<double>(loops_) + 1.0) * duration();
}

double SndfileAudioPlayer::currentTime() const {
    if (!playing_) return startPosition_;
    // A player that played all its repeats has rewound to the start.
    if (!isPlaying()) return 0.0;
    return std::fmod(elapsedSincePlay(), duration());
}

}  // namespace perfagent

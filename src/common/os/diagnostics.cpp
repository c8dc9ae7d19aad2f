#include "os/diagnostics.hpp"

#include <cstdio>
#include <ctime>

namespace perfagent {

Diagnostics::Diagnostics(Writer write, Now now, std::string program)
    : write_(write ? std::move(write)
                   : Writer([](std::string_view text) {
                         std::fwrite(text.data(), 1, text.size(), stderr);
                         std::fflush(stderr);
                     })),
      now_(now ? std::move(now) : Now([] { return std::chrono::system_clock::now(); })),
      program_(std::move(program)) {}

Diagnostics::~Diagnostics() { flush(); }

std::string Diagnostics::timestamp(std::chrono::system_clock::time_point instant) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const int millis = static_cast<int>((ms % 1000 + 1000) % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const auto length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

void Diagnostics::writeLocked(std::chrono::system_clock::time_point instant, std::string_view text) {
    std::string out = timestamp(instant);
    out += ' ';
    out += text;
    out += '\n';
    write_(out);
}

void Diagnostics::writeCountLocked(std::chrono::system_clock::time_point instant, const std::string& kind,
                                   Kind& state) {
    if (state.suppressed == 0) return;
    writeLocked(instant, program_ + ": " + std::to_string(state.suppressed) + " more " + kind + " since " +
                             timestamp(state.lastWritten));
    state.suppressed = 0;
    state.lastWritten = instant;
}

void Diagnostics::line(std::string_view text) {
    const auto instant = now_();
    MutexLock lock(mutex_);
    writeLocked(instant, text);
}

void Diagnostics::repeated(std::string_view kind, std::string_view text) {
    const auto instant = now_();
    MutexLock lock(mutex_);
    auto found = kinds_.find(kind);
    if (found == kinds_.end()) {
        kinds_.emplace(std::string(kind), Kind{instant, 0});
        writeLocked(instant, text);
        return;
    }
    Kind& state = found->second;
    if (instant - state.lastWritten < kRepeatWindow) {
        ++state.suppressed;
        return;
    }
    // A minute has passed: say how many were left out, then this one.
    writeCountLocked(instant, found->first, state);
    state.lastWritten = instant;
    writeLocked(instant, text);
}

void Diagnostics::flush() {
    const auto instant = now_();
    MutexLock lock(mutex_);
    for (auto& [kind, state] : kinds_) writeCountLocked(instant, kind, state);
}

}  // namespace perfagent

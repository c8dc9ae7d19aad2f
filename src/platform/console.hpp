#pragma once

#include <cstdio>
#include <mutex>
#include <string_view>

namespace perfagent {

/// @brief Where the agent's console lines go. One call is one whole line.
class Console {
public:
    virtual ~Console() = default;
    /// Writes `line` followed by a line break. Safe to call from any thread.
    virtual void println(std::string_view line) = 0;
};

/// @brief Console lines on a C stream (stdout), flushed after every line so a pipe reader sees them at once.
class StreamConsole final : public Console {
public:
    explicit StreamConsole(std::FILE* stream = stdout) : stream_(stream) {}
    void println(std::string_view line) override;

private:
    std::mutex mutex_;
    std::FILE* stream_;
};

/// @brief Drops every line (benchmarks).
class NullConsole final : public Console {
public:
    void println(std::string_view) override {}
};

}  // namespace perfagent

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace perfagent {

class Diagnostics;

/// @brief Where the agent's console lines go. One call is one whole line.
class Console {
public:
    virtual ~Console() = default;
    /// Writes `line` followed by a line break. Safe to call from any thread.
    virtual void println(std::string_view line) = 0;
    /// Brief: samplers print one line per tick instead of the readouts, series and report texts.
    virtual bool brief() const { return false; }
};

/// @brief Console lines on a file descriptor (stdout), written by a thread of its own so that a reader
/// that stalls or goes away never holds up or ends the caller.
///
/// Lines wait in a buffer of at most kBufferBytes (a longer line is taken when the buffer is empty);
/// while it is full, new lines are dropped and counted in the diagnostics. A write error (a closed
/// reader: SIGPIPE must be ignored) drops every line from then on. Each write is at most PIPE_BUF bytes
/// and is made only when poll says the descriptor takes it, so the writer never blocks for long either.
class StreamConsole final : public Console {
public:
    static constexpr std::size_t kBufferBytes = std::size_t{4} << 20;
    /// How long destruction goes on writing what is buffered to a slow reader.
    static constexpr std::chrono::milliseconds kDrainLimit{500};

    StreamConsole(int fd, Diagnostics& diagnostics, bool brief = false);
    /// Writes what is buffered, for at most kDrainLimit, and drops the rest.
    ~StreamConsole() override;
    StreamConsole(const StreamConsole&) = delete;
    StreamConsole& operator=(const StreamConsole&) = delete;

    void println(std::string_view line) override;
    bool brief() const override { return brief_; }

private:
    void run();
    std::size_t writeBlock(std::string_view block);
    void drop(std::size_t lines);

    int fd_;
    Diagnostics& diagnostics_;
    bool brief_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::string buffer_;
    bool broken_ = false;
    std::atomic<bool> stopping_{false};
    std::chrono::steady_clock::time_point drainDeadline_;
    std::thread writer_;
};

/// @brief Drops every line (benchmarks).
class NullConsole final : public Console {
public:
    void println(std::string_view) override {}
};

}  // namespace perfagent

#pragma once

#include "base/thread_annotations.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct iovec;

namespace perfagent {

class Diagnostics;

/// @brief One console line in pieces: text copied in, and long texts held rather than copied (a long
/// measurement's lines carry every sample so far, hundreds of kilobytes that the series already keep).
class LinePieces {
public:
    LinePieces() = default;
    explicit LinePieces(std::string_view text) { copied_ = text; }

    /// Where text is appended by copy, after everything so far.
    std::string& text() { return copied_; }
    /// Appends `held`, which must not change while this line or a copy of it exists.
    void hold(std::shared_ptr<const std::string> held);
    /// Appends the pieces of `other`, holding what it holds.
    void append(const LinePieces& other);

    std::size_t size() const;
    /// The whole line as one text.
    std::string joined() const;
    /// Calls `part(std::string_view)` for each piece in order.
    template <typename Part>
    void forEachPart(Part&& part) const {
        std::size_t copiedAt = 0;
        for (const auto& piece : pieces_) {
            if (piece.copiedEnd > copiedAt) part(std::string_view(copied_).substr(copiedAt, piece.copiedEnd - copiedAt));
            copiedAt = piece.copiedEnd;
            part(std::string_view(*piece.held));
        }
        if (copied_.size() > copiedAt) part(std::string_view(copied_).substr(copiedAt));
    }

private:
    /// A held text, after the copied text up to `copiedEnd`.
    struct Piece {
        std::size_t copiedEnd;
        std::shared_ptr<const std::string> held;
    };
    std::string copied_;
    std::vector<Piece> pieces_;
};

/// @brief Where the agent's console lines go. One call is one whole line.
class Console {
public:
    virtual ~Console() = default;
    /// Writes `line` followed by a line break. Safe to call from any thread.
    virtual void println(std::string_view line) = 0;
    /// Writes the pieces as one line, holding what they hold until it is written instead of copying it.
    virtual void printPieces(LinePieces line) { println(line.joined()); }
    /// Brief: samplers print one line per tick instead of the readouts, series and report texts.
    virtual bool brief() const { return false; }
};

/// @brief Console lines on a file descriptor (stdout), written by a thread of its own so that a reader
/// that stalls or goes away never holds up or ends the caller.
///
/// Lines wait, copied or shared, up to kBufferBytes in all (a longer line is taken when none waits);
/// beyond that, new lines are dropped and counted in the diagnostics. A write error (a closed reader:
/// SIGPIPE must be ignored) drops every line from then on. The writer wakes once for the lines that
/// arrive within kGather of each other and writes them together. To a pipe, socket or terminal each
/// write is at most PIPE_BUF bytes and is made only when poll says the descriptor takes it, so the
/// writer never blocks for long either; a regular file takes everything in one write. /dev/null needs
/// no writer: the caller writes to it at once.
class StreamConsole final : public Console {
public:
    static constexpr std::size_t kBufferBytes = std::size_t{4} << 20;
    /// How long destruction goes on writing what is buffered to a slow reader.
    static constexpr std::chrono::milliseconds kDrainLimit{500};
    /// How long the writer waits after the first line of a burst (a tick prints about ten).
    static constexpr std::chrono::milliseconds kGather{2};

    StreamConsole(int fd, Diagnostics& diagnostics, bool brief = false);
    /// Writes what is buffered, for at most kDrainLimit, and drops the rest.
    ~StreamConsole() override;
    StreamConsole(const StreamConsole&) = delete;
    StreamConsole& operator=(const StreamConsole&) = delete;

    void println(std::string_view line) override;
    void printPieces(LinePieces line) override;
    bool brief() const override { return brief_; }

private:
    /// What waits, in order: a run of copied lines (each with its break), or one line in pieces.
    struct Piece {
        std::string copied;
        std::optional<LinePieces> line;
    };
    /// Under the lock: whether `bytes` more fit, then counts them and wakes the writer for a first line.
    bool admit(std::size_t bytes, bool& wake) REQUIRES(mutex_);
    /// Queues a line of `bytes` bytes (`add` puts it in pieces_, under the lock) or drops it when full.
    template <typename Add>
    void enqueue(std::size_t bytes, Add&& add) EXCLUDES(mutex_);
    /// Without a writer thread (/dev/null): writes the line on the caller's thread.
    void writeAtOnce(const LinePieces& line);
    void run() EXCLUDES(mutex_);
    std::size_t writePieces(const std::vector<Piece>& pieces);
    std::size_t writeParts(std::vector<struct iovec>& parts);
    void drop(std::size_t lines);

    int fd_;
    Diagnostics& diagnostics_;
    bool brief_;
    bool chunked_;  // the descriptor may block: poll, then at most PIPE_BUF bytes a write
    Mutex mutex_;
    std::condition_variable ready_;
    std::vector<Piece> pieces_ GUARDED_BY(mutex_);
    std::size_t waiting_ GUARDED_BY(mutex_) = 0;  // bytes in pieces_
    bool broken_ GUARDED_BY(mutex_) = false;
    std::atomic<bool> stopping_{false};
    // Set before stopping_ is; read by the writer once it sees stopping_.
    std::chrono::steady_clock::time_point drainDeadline_;
    std::thread writer_;
};

/// @brief Drops every line (benchmarks).
class NullConsole final : public Console {
public:
    void println(std::string_view) override {}
    void printPieces(LinePieces) override {}
};

}  // namespace perfagent

#pragma once

#include "base/thread_annotations.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief The one sink for the agent's own diagnostics (never the console): standard error, which is the
/// log file after launch. Each line starts with its ISO 8601 UTC instant. Thread-safe.
///
/// Lines that can come at any rate from outside (refused requests, say) go through repeated(): the first
/// of its kind is written, further ones are counted and their number is written once a minute has passed
/// since the last one written, so a flood cannot grow the log faster than a line a minute per kind.
class Diagnostics {
public:
    using Now = std::function<std::chrono::system_clock::time_point()>;
    using Writer = std::function<void(std::string_view)>;

    static constexpr std::chrono::seconds kRepeatWindow{60};

    /// `write` receives whole lines with their line break; the default writes to stderr and flushes.
    /// `program` starts the lines that count repeated ones.
    explicit Diagnostics(Writer write = {}, Now now = {}, std::string program = "perfagent");
    /// Writes the counts still pending.
    ~Diagnostics();
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

    void line(std::string_view text);
    /// A line of a kind that may repeat at a high rate; `kind` groups the lines that are counted together.
    void repeated(std::string_view kind, std::string_view text);
    /// Writes the pending counts of repeated lines now.
    void flush();

    /// A plain callable for the services that take `std::function<void(std::string_view)>`.
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view text) { line(text); };
    }

    /// "2026-12-06T21:35:44.123Z"
    static std::string timestamp(std::chrono::system_clock::time_point instant);

private:
    struct Kind {
        std::chrono::system_clock::time_point lastWritten;
        std::size_t suppressed = 0;
    };
    void writeLocked(std::chrono::system_clock::time_point instant, std::string_view text) REQUIRES(mutex_);
    void writeCountLocked(std::chrono::system_clock::time_point instant, const std::string& kind, Kind& state)
        REQUIRES(mutex_);

    Writer write_;
    Now now_;
    const std::string program_;
    Mutex mutex_;  // one line at a time to the writer, and the counts
    std::map<std::string, Kind, std::less<>> kinds_ GUARDED_BY(mutex_);
};

}  // namespace perfagent

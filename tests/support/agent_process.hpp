#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace perfagent::testing {

/// @brief How a child process ended.
struct ProcessExit {
    int code = -1;   ///< the exit status when it exited, -1 when a signal ended it
    int signal = 0;  ///< the signal that ended it, 0 when it exited

    bool clean() const { return signal == 0 && code == 0; }
};
std::ostream& operator<<(std::ostream& out, const ProcessExit& exit);

/// @brief A child process in a session of its own, with standard input on /dev/null and its standard
/// output and error read live through pipes. It is killed when the test process or this object goes away.
class ChildProcess {
public:
    /// Throws std::system_error when the process cannot be made; an exec failure shows as exit status 127.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Standard output so far, one entry per complete line (without the line break).
    std::vector<std::string> lines() const;
    std::size_t lineCount() const;
    /// Standard error so far (the agent moves it into its log file once launched).
    std::string errorText() const;
    /// Everything written to standard output, partial last line included.
    std::string outputText() const;

    /// Waits for a line at index `from` or later that satisfies `match`; answers its index. Nothing when
    /// `timeout` passes first or standard output closes without such a line.
    std::optional<std::size_t> waitForLine(const std::function<bool(std::string_view)>& match,
                                           std::chrono::milliseconds timeout, std::size_t from = 0) const;
    /// The same, for a line equal to `text`.
    std::optional<std::size_t> waitForLine(std::string_view text, std::chrono::milliseconds timeout,
                                           std::size_t from = 0) const;
    /// Waits until standard error holds `text`; false when `timeout` passes or the stream closes first.
    bool waitForErrorText(std::string_view text, std::chrono::milliseconds timeout) const;

    /// Sends `signal` to the child; false when it has already been reaped.
    bool sendSignal(int signal);
    /// Waits for the child to end and reaps it (both pipes read to their end); nothing on timeout.
    std::optional<ProcessExit> waitForExit(std::chrono::milliseconds timeout);
    bool running();

private:
    struct Stream {
        int fd = -1;
        std::string text;
        std::vector<std::string> lines;
        std::size_t lineStart = 0;
        bool closed = false;
    };
    void readLoop(Stream& stream);
    void killAndReap();

    pid_t pid_ = -1;
    std::optional<ProcessExit> exit_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Stream out_;
    Stream err_;
    std::thread outReader_;
    std::thread errReader_;
};

/// @brief The built agent, started with a home of the caller's, reporting to a collection server on
/// 127.0.0.1 and listening on a free loopback port.
class AgentProcess {
public:
    /// The agent binary of this build tree.
    static std::filesystem::path binary();

    /// Starts the agent and waits until its listener is up, retrying on another port when the free one
    /// picked is taken in the meantime. Fails the calling test (and answers nothing) otherwise.
    static std::unique_ptr<AgentProcess> launch(const std::filesystem::path& home, unsigned short collectionPort,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(30));

    ChildProcess& process() { return *child_; }
    unsigned short listenPort() const { return listenPort_; }

    /// The device token's text as kept in the home (without the line break); empty when not there.
    std::string deviceToken() const;
    /// What the log files in `<home>/Documents` hold, concatenated.
    std::string logText() const;

private:
    AgentProcess(std::unique_ptr<ChildProcess> child, unsigned short port, std::filesystem::path home)
        : child_(std::move(child)), listenPort_(port), home_(std::move(home)) {}

    std::unique_ptr<ChildProcess> child_;
    unsigned short listenPort_ = 0;
    std::filesystem::path home_;
};

/// POSTs `payload` as a push to the agent (with `Authorization: Bearer <token>` unless the token is empty)
/// and answers the response status, 0 when there was none.
int sendPush(unsigned short port, std::string_view token, std::string_view payload);

}  // namespace perfagent::testing

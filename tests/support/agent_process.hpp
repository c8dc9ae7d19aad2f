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

/// @brief A child process with standard input on /dev/null and its standard output and standard error
/// read live through pipes, each by a thread of its own.
///
/// The child runs in a session of its own (no controlling terminal) and is killed with SIGKILL if the
/// test process goes away first. Destroying the object kills a child that is still running and reaps it,
/// so a failing test never leaves one behind.
class ChildProcess {
public:
    /// Starts `program` with `arguments` (argv[1]…) and the test's environment. Throws std::system_error
    /// when the process cannot be made; an exec failure shows as exit status 127.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    /// Standard output so far, one entry per complete line (without the line break).
    std::vector<std::string> lines() const;
    std::size_t lineCount() const;
    /// Standard error so far, as read (the agent moves its standard error into a log file at launch, so
    /// this holds what it wrote before that, or everything when it never got that far).
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
    /// Waits for the child to end and reaps it; nothing when `timeout` passes first. Once reaped, the
    /// same status is answered again. Both pipes have been read to their end when it answers.
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

    /// Starts the agent and waits until its listener is up. The listen port is picked by binding port 0
    /// and letting go of it; when another process takes it first the launch is tried again on another
    /// one. Fails the calling test (and answers nothing) when the agent does not come up.
    static std::unique_ptr<AgentProcess> launch(const std::filesystem::path& home, unsigned short collectionPort,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(30));

    ChildProcess& process() { return *child_; }
    const ChildProcess& process() const { return *child_; }
    unsigned short listenPort() const { return listenPort_; }
    const std::filesystem::path& home() const { return home_; }

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

/// A loopback TCP port that was free a moment ago.
unsigned short freeLoopbackPort();

/// @brief One response as the test client read it.
struct HttpResponse {
    int status = 0;  ///< 0 when no response could be read
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

/// A blocking HTTP/1.1 exchange with 127.0.0.1:`port` over a fresh connection (Connection: close).
/// A non-empty body is sent with a Content-Length; `headers` are added as given.
HttpResponse httpRequest(unsigned short port, std::string_view method, std::string_view target,
                         const std::vector<std::pair<std::string, std::string>>& headers = {},
                         std::string_view body = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(15));

/// POSTs `payload` as a push to the agent, with `Authorization: Bearer <token>` when a token is given.
HttpResponse sendPush(unsigned short port, std::string_view token, std::string_view payload);

}  // namespace perfagent::testing

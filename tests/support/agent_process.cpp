#include "support/agent_process.hpp"
#include "support/http_recorder.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#ifndef PERFAGENT_BINARY_DIR
#error "the test support library needs PERFAGENT_BINARY_DIR to find the agent"
#endif

namespace perfagent::testing {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

/// Closes the descriptor on every path out of a scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const ProcessExit& exit) {
    if (exit.signal != 0) return out << "killed by signal " << exit.signal << " (" << ::strsignal(exit.signal) << ")";
    return out << "exit status " << exit.code;
}

// ---------------------------------------------------------------------------------------------------------
// ChildProcess

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    // Between fork() and exec() only async-signal-safe calls are allowed: prepare everything before.
    std::vector<std::string> argumentTexts;
    argumentTexts.push_back(program.string());
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentTexts) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throwErrno("pipe2");
    FileDescriptor outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throwErrno("pipe2");
    FileDescriptor errRead(errPipe[0]), errWrite(errPipe[1]);
    FileDescriptor devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (devNull.get() < 0) throwErrno("open /dev/null");

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throwErrno("fork");
    if (pid == 0) {
        ::setsid();  // no controlling terminal
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        // Default dispositions and an empty mask, whatever the test runner inherited (nohup ignores SIGHUP).
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) ::sigaction(signal, &defaultAction, nullptr);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(devNull.get(), STDIN_FILENO) < 0 || ::dup2(outWrite.get(), STDOUT_FILENO) < 0 ||
            ::dup2(errWrite.get(), STDERR_FILENO) < 0)
            ::_exit(127);
        // Sockets of the test (the recorder's among them) must not leak into the agent.
        if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
            for (int fd = 3; fd < 4096; ++fd) ::close(fd);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    out_.fd = outRead.release();
    err_.fd = errRead.release();
    outWrite.reset();
    errWrite.reset();
    outReader_ = std::thread([this] { readLoop(out_); });
    errReader_ = std::thread([this] { readLoop(err_); });
}

ChildProcess::~ChildProcess() { killAndReap(); }

void ChildProcess::readLoop(Stream& stream) {
    std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t count = ::read(stream.fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (count <= 0) {
            stream.closed = true;
            changed_.notify_all();
            break;
        }
        stream.text.append(buffer.data(), static_cast<std::size_t>(count));
        for (std::size_t end; (end = stream.text.find('\n', stream.lineStart)) != std::string::npos;) {
            stream.lines.push_back(stream.text.substr(stream.lineStart, end - stream.lineStart));
            stream.lineStart = end + 1;
        }
        changed_.notify_all();
    }
    ::close(stream.fd);
}

std::vector<std::string> ChildProcess::lines() const {
    std::lock_guard lock(mutex_);
    return out_.lines;
}

std::size_t ChildProcess::lineCount() const {
    std::lock_guard lock(mutex_);
    return out_.lines.size();
}

std::string ChildProcess::errorText() const {
    std::lock_guard lock(mutex_);
    return err_.text;
}

std::string ChildProcess::outputText() const {
    std::lock_guard lock(mutex_);
    return out_.text;
}

std::optional<std::size_t> ChildProcess::waitForLine(const std::function<bool(std::string_view)>& match,
                                                     std::chrono::milliseconds timeout, std::size_t from) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    std::size_t next = from;
    for (;;) {
        for (; next < out_.lines.size(); ++next)
            if (match(out_.lines[next])) return next;
        if (out_.closed) return std::nullopt;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && next == out_.lines.size())
            return std::nullopt;
    }
}

std::optional<std::size_t> ChildProcess::waitForLine(std::string_view text, std::chrono::milliseconds timeout,
                                                     std::size_t from) const {
    return waitForLine([text](std::string_view line) { return line == text; }, timeout, from);
}

bool ChildProcess::waitForErrorText(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return err_.text.find(text) != std::string::npos || err_.closed; }) &&
           err_.text.find(text) != std::string::npos;
}

bool ChildProcess::sendSignal(int signal) {
    if (exit_ || pid_ <= 0) return false;
    return ::kill(pid_, signal) == 0;
}

std::optional<ProcessExit> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!exit_) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            ProcessExit result;
            if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
            exit_ = result;
            break;
        }
        if (reaped < 0 && errno != EINTR) throwErrno("waitpid");
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The child is gone, so both pipes reach their end (nothing else holds their write ends).
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return exit_;
}

bool ChildProcess::running() { return !waitForExit(std::chrono::milliseconds(0)); }

void ChildProcess::killAndReap() {
    if (pid_ > 0 && !exit_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exit_ = ProcessExit{-1, SIGKILL};
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

// ---------------------------------------------------------------------------------------------------------
// AgentProcess

std::filesystem::path AgentProcess::binary() { return std::filesystem::path(PERFAGENT_BINARY_DIR) / "perfagent"; }

std::unique_ptr<AgentProcess> AgentProcess::launch(const std::filesystem::path& home, unsigned short collectionPort,
                                                   std::chrono::milliseconds timeout) {
    constexpr int kAttempts = 5;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const unsigned short port = HttpRecorder::unusedPort();
        auto child = std::make_unique<ChildProcess>(
            binary(), std::vector<std::string>{"--collection-server", "127.0.0.1:" + std::to_string(collectionPort),
                                               "--listen", "127.0.0.1:" + std::to_string(port), "--home",
                                               home.string()});
        const std::string listening = "perfagent: listening on http://127.0.0.1:" + std::to_string(port) + "\n";
        if (child->waitForErrorText(listening, timeout))
            return std::unique_ptr<AgentProcess>(new AgentProcess(std::move(child), port, home));
        const auto exit = child->waitForExit(std::chrono::seconds(5));
        const std::string errors = child->errorText();
        if (exit && exit->code == 1 && errors.find("perfagent: cannot listen on") != std::string::npos &&
            attempt < kAttempts)
            continue;  // someone took the port in the meantime
        ADD_FAILURE() << "the agent did not come up listening on port " << port << " ("
                      << (exit ? ::testing::PrintToString(*exit) : std::string("still running")) << ")\nstderr:\n"
                      << errors << "\nstdout:\n"
                      << child->outputText();
        return nullptr;
    }
    return nullptr;
}

std::string AgentProcess::deviceToken() const {
    std::string text;
    std::ifstream in(home_ / "Library" / "device-token");
    std::getline(in, text);
    return text;
}

std::string AgentProcess::logText() const {
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(home_ / "Documents", error)) {
        if (entry.path().extension() != ".log") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
}

int sendPush(unsigned short port, std::string_view token, std::string_view payload) {
    namespace beast = boost::beast;
    namespace http = beast::http;
    http::request<http::string_body> request{http::verb::post, "/remote-notification", 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    request.set(http::field::content_type, "application/json");
    if (!token.empty()) request.set(http::field::authorization, "Bearer " + std::string(token));
    request.body() = payload;
    request.prepare_payload();

    boost::asio::io_context io;
    beast::tcp_stream stream(io);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    int status = 0;
    stream.expires_after(std::chrono::seconds(15));
    stream.async_connect({boost::asio::ip::make_address_v4("127.0.0.1"), port}, [&](beast::error_code ec) {
        if (ec) return;
        // The answer is read even when the write fails: a server may answer and close before reading it all.
        http::async_write(stream, request, [&](beast::error_code, std::size_t) {
            http::async_read(stream, buffer, response, [&](beast::error_code ec, std::size_t) {
                if (!ec) status = response.result_int();
            });
        });
    });
    io.run();
    return status;
}

}  // namespace perfagent::testing

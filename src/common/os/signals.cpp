#include "os/signals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>

namespace perfagent {

namespace {

sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGCONT, SIGUSR1, SIGUSR2}) sigaddset(&set, signal);
    return set;
}

}  // namespace

void blockHandledSignals() {
    const sigset_t set = handledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void prepareProcessSignals() {
    blockHandledSignals();
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(Handlers handlers) : handlers_(std::move(handlers)) {
    const sigset_t handled = handledSignals();
    sigset_t set;
    sigemptyset(&set);
    for (const auto& [signal, handler] : handlers_)
        if (sigismember(&handled, signal) == 1) sigaddset(&set, signal);
    signals_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
    stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0) {
        const int error = errno;
        ::close(signals_);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    thread_ = std::thread([this] { run(); });
}

SignalWatcher::~SignalWatcher() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(signals_);
    ::close(stop_);
}

void SignalWatcher::run() {
    std::array<pollfd, 2> fds{pollfd{signals_, POLLIN, 0}, pollfd{stop_, POLLIN, 0}};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        signalfd_siginfo info{};
        while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const auto found = handlers_.find(static_cast<int>(info.ssi_signo));
            if (found != handlers_.end() && found->second) found->second();
        }
    }
}

bool inForegroundProcessGroup() {
    int fd = STDIN_FILENO;
    int tty = -1;
    if (!::isatty(fd)) {
        tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (tty < 0) return true;
        fd = tty;
    }
    const pid_t foreground = ::tcgetpgrp(fd);
    if (tty >= 0) ::close(tty);
    return foreground < 0 || foreground == ::getpgrp();
}

}  // namespace perfagent

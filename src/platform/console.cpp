#include "platform/console.hpp"

#include "platform/diagnostics.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace perfagent {

namespace {
constexpr int kPollMs = 100;
}

StreamConsole::StreamConsole(int fd, Diagnostics& diagnostics, bool brief)
    : fd_(fd), diagnostics_(diagnostics), brief_(brief), writer_([this] { run(); }) {}

StreamConsole::~StreamConsole() {
    {
        std::lock_guard lock(mutex_);
        drainDeadline_ = std::chrono::steady_clock::now() + kDrainLimit;
        stopping_ = true;
    }
    ready_.notify_one();
    writer_.join();
}

void StreamConsole::println(std::string_view line) {
    std::size_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        if (broken_ || (!buffer_.empty() && buffer_.size() + line.size() + 1 > kBufferBytes)) {
            dropped = 1;
        } else {
            buffer_.append(line);
            buffer_.push_back('\n');
        }
    }
    if (dropped != 0) drop(dropped);
    else ready_.notify_one();
}

void StreamConsole::drop(std::size_t lines) {
    for (std::size_t i = 0; i < lines; ++i)
        diagnostics_.repeated("console lines dropped",
                              "perfagent: console: standard output does not take lines; dropping them");
}

void StreamConsole::run() {
    std::string block;
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [&] { return !buffer_.empty() || stopping_; });
        if (buffer_.empty()) return;
        block.clear();
        block.swap(buffer_);
        lock.unlock();
        const std::size_t done = writeBlock(block);
        // A line not written whole counts as dropped.
        auto lost = static_cast<std::size_t>(std::count(block.begin() + static_cast<std::ptrdiff_t>(done), block.end(), '\n'));
        lock.lock();
        if (done < block.size()) {
            // The reader is gone, or destruction's drain time ran out: nothing more is written.
            broken_ = true;
            lost += static_cast<std::size_t>(std::count(buffer_.begin(), buffer_.end(), '\n'));
            buffer_.clear();
        }
        if (lost != 0) {
            lock.unlock();
            drop(lost);
            lock.lock();
        }
    }
}

/// Writes `block` in pieces the descriptor takes without blocking; answers how many bytes went out, fewer
/// than all on a write error or when destruction's drain time has run out.
std::size_t StreamConsole::writeBlock(std::string_view block) {
    std::size_t done = 0;
    while (done < block.size()) {
        pollfd ready{fd_, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, kPollMs);
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) {
            if (stopping_ && std::chrono::steady_clock::now() >= drainDeadline_) break;
            continue;
        }
        const ssize_t n = ::write(fd_, block.data() + done, std::min<std::size_t>(PIPE_BUF, block.size() - done));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace perfagent

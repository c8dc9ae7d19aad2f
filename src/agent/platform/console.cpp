#include "platform/console.hpp"

#include "os/diagnostics.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace perfagent {

namespace {

constexpr int kPollMs = 100;
constexpr std::size_t kMaxIovecs = 64;

bool isDevNull(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
}

/// A write to a regular file or /dev/null never waits for a reader.
bool mayBlock(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return true;
    return !S_ISREG(st.st_mode) && !isDevNull(st);
}

/// /dev/null takes every write at once: it needs no writer thread.
bool discards(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && isDevNull(st);
}

constexpr char kBreak = '\n';

void addPart(std::vector<iovec>& parts, std::string_view part) {
    if (!part.empty()) parts.push_back(iovec{const_cast<char*>(part.data()), part.size()});
}

}  // namespace

void LinePieces::hold(std::shared_ptr<const std::string> held) {
    if (held && !held->empty()) pieces_.push_back(Piece{copied_.size(), std::move(held)});
}

void LinePieces::append(const LinePieces& other) {
    std::size_t copiedAt = 0;
    for (const auto& piece : other.pieces_) {
        copied_.append(other.copied_, copiedAt, piece.copiedEnd - copiedAt);
        copiedAt = piece.copiedEnd;
        hold(piece.held);
    }
    copied_.append(other.copied_, copiedAt);
}

std::size_t LinePieces::size() const {
    std::size_t size = copied_.size();
    for (const auto& piece : pieces_) size += piece.held->size();
    return size;
}

std::string LinePieces::joined() const {
    std::string out;
    out.reserve(size());
    forEachPart([&](std::string_view part) { out += part; });
    return out;
}

StreamConsole::StreamConsole(int fd, Diagnostics& diagnostics, bool brief)
    : fd_(fd), diagnostics_(diagnostics), brief_(brief), chunked_(mayBlock(fd)) {
    if (!discards(fd)) writer_ = std::thread([this] { run(); });
}

StreamConsole::~StreamConsole() {
    if (!writer_.joinable()) return;
    {
        MutexLock lock(mutex_);
        drainDeadline_ = std::chrono::steady_clock::now() + kDrainLimit;
        stopping_ = true;
    }
    ready_.notify_one();
    writer_.join();
}

bool StreamConsole::admit(std::size_t bytes, bool& wake) {
    if (broken_ || (waiting_ != 0 && waiting_ + bytes > kBufferBytes)) return false;
    // The writer sleeps only while nothing waits; lines after the first of a burst need no wake-up.
    wake = waiting_ == 0;
    waiting_ += bytes;
    return true;
}

void StreamConsole::writeAtOnce(const LinePieces& line) {
    std::vector<iovec> parts;
    line.forEachPart([&](std::string_view part) { addPart(parts, part); });
    addPart(parts, {&kBreak, 1});
    writeParts(parts);
}

template <typename Add>
void StreamConsole::enqueue(std::size_t bytes, Add&& add) {
    bool admitted, wake = false;
    {
        MutexLock lock(mutex_);
        admitted = admit(bytes, wake);
        if (admitted) add();
    }
    if (!admitted) drop(1);
    else if (wake) ready_.notify_one();
}

void StreamConsole::println(std::string_view line) {
    if (!writer_.joinable()) {
        // /dev/null takes the line whole; nothing to copy or gather.
        iovec parts[] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>(&kBreak), 1}};
        if (::writev(fd_, parts, 2) < 0) drop(1);
        return;
    }
    enqueue(line.size() + 1, [&]() REQUIRES(mutex_) {
        if (pieces_.empty() || pieces_.back().line) pieces_.emplace_back();
        std::string& run = pieces_.back().copied;
        run.append(line);
        run.push_back('\n');
    });
}

void StreamConsole::printPieces(LinePieces line) {
    if (!writer_.joinable()) return writeAtOnce(line);
    enqueue(line.size() + 1, [&]() REQUIRES(mutex_) { pieces_.push_back(Piece{{}, std::move(line)}); });
}

void StreamConsole::drop(std::size_t lines) {
    for (std::size_t i = 0; i < lines; ++i)
        diagnostics_.repeated("console lines dropped",
                              "perfagent: console: standard output does not take lines; dropping them");
}

void StreamConsole::run() {
    std::vector<Piece> pieces;
    MutexLock lock(mutex_);
    for (;;) {
        lock.wait(ready_, [&]() REQUIRES(mutex_) { return !pieces_.empty() || stopping_; });
        if (pieces_.empty()) return;
        // The rest of the burst joins this write.
        lock.waitFor(ready_, kGather, [&] { return stopping_.load(); });
        pieces.clear();
        pieces.swap(pieces_);
        waiting_ = 0;
        lock.unlock();
        std::size_t lost = 0;
        const std::size_t done = writePieces(pieces);
        // A line not written whole counts as dropped.
        std::size_t at = 0;
        for (const auto& piece : pieces) {
            const std::size_t size = piece.line ? piece.line->size() + 1 : piece.copied.size();
            if (done < at + size) {
                const auto from = static_cast<std::ptrdiff_t>(done > at ? done - at : 0);
                lost += piece.line ? 1 : static_cast<std::size_t>(std::count(piece.copied.begin() + from, piece.copied.end(), '\n'));
            }
            at += size;
        }
        // Held texts are let go of here, not when the next burst replaces them.
        pieces.clear();
        lock.lock();
        if (lost != 0) {
            // The reader is gone, or destruction's drain time ran out: nothing more is written.
            broken_ = true;
            for (const auto& piece : pieces_)
                lost += piece.line ? 1 : static_cast<std::size_t>(std::count(piece.copied.begin(), piece.copied.end(), '\n'));
            pieces_.clear();
            waiting_ = 0;
            lock.unlock();
            drop(lost);
            lock.lock();
        }
    }
}

std::size_t StreamConsole::writePieces(const std::vector<Piece>& pieces) {
    std::vector<iovec> parts;
    parts.reserve(pieces.size() * 2);
    for (const auto& piece : pieces) {
        if (!piece.line) {
            addPart(parts, piece.copied);
            continue;
        }
        piece.line->forEachPart([&](std::string_view part) { addPart(parts, part); });
        addPart(parts, {&kBreak, 1});
    }
    return writeParts(parts);
}

/// Writes the parts in order, gathered, in writes the descriptor takes without blocking; answers how many
/// bytes went out, fewer than all on a write error or when destruction's drain time has run out.
std::size_t StreamConsole::writeParts(std::vector<iovec>& parts) {
    const std::size_t limit = chunked_ ? PIPE_BUF : SSIZE_MAX;
    std::size_t done = 0;
    std::size_t next = 0;  // the first part not written whole
    while (next < parts.size()) {
        if (chunked_) {
            pollfd ready{fd_, POLLOUT, 0};
            const int polled = ::poll(&ready, 1, kPollMs);
            if (polled < 0 && errno != EINTR) break;
            if (polled <= 0) {
                if (stopping_ && std::chrono::steady_clock::now() >= drainDeadline_) break;
                continue;
            }
        }
        iovec batch[kMaxIovecs];
        int count = 0;
        std::size_t bytes = 0;
        for (std::size_t i = next; i < parts.size() && count < static_cast<int>(kMaxIovecs) && bytes < limit; ++i) {
            batch[count] = parts[i];
            batch[count].iov_len = std::min(parts[i].iov_len, limit - bytes);
            bytes += batch[count++].iov_len;
        }
        const ssize_t n = ::writev(fd_, batch, count);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
        for (auto left = static_cast<std::size_t>(n); left != 0;) {
            iovec& part = parts[next];
            const std::size_t step = std::min(left, part.iov_len);
            part.iov_base = static_cast<char*>(part.iov_base) + step;
            part.iov_len -= step;
            left -= step;
            if (part.iov_len == 0) ++next;
        }
    }
    return done;
}

}  // namespace perfagent

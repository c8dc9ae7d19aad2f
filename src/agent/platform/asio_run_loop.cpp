#include "platform/asio_run_loop.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace perfagent {

namespace asio = boost::asio;

namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

/// Fixed-rate repeat on a timerfd of its own: the kernel re-arms it every interval, so a tick costs no
/// re-arming, and time spent in the handler or in a busy main thread does not accumulate as drift.
/// Expirations that passed while the main thread was busy are made up for at once, one block each.
class AsioTimer final : public Timer, public std::enable_shared_from_this<AsioTimer> {
public:
    AsioTimer(asio::io_context& context, std::chrono::nanoseconds interval, RunLoop::Block fire)
        : descriptor_(context), fire_(std::move(fire)) {
        interval = std::max(interval, std::chrono::nanoseconds(1));  // a zero interval would disarm it
        const auto seconds = std::chrono::floor<std::chrono::seconds>(interval);
        const timespec every{seconds.count(), static_cast<long>((interval - seconds).count())};
        const itimerspec repeat{every, every};
        boost::system::error_code ec;
        const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0 || ::timerfd_settime(fd, 0, &repeat, nullptr) != 0) ec.assign(errno, boost::system::system_category());
        else descriptor_.assign(fd, ec);
        if (ec) {
            // Without descriptors nothing can be timed: the timer says so and never fires.
            std::fprintf(stderr, "perfagent: cannot start a timer: %s\n", ec.message().c_str());
            if (fd >= 0 && !descriptor_.is_open()) ::close(fd);
            valid_ = false;
        }
    }

    void start() {
        if (valid_) arm();
    }

    void invalidate() override {
        valid_ = false;
        boost::system::error_code ignored;
        descriptor_.close(ignored);
        fire_ = nullptr;  // release what the block holds, as an invalidated timer releases its target
    }

    bool isValid() const override { return valid_; }

private:
    void arm() {
        // Waits for the descriptor to turn readable and reads the expiration count itself: a pending read
        // would also try the descriptor once more, in vain, each time it is started again. The wait holds
        // only a weak reference: a timer nobody holds any more stops by itself.
        const auto expired = [weak = weak_from_this()](const boost::system::error_code& ec) {
            auto self = weak.lock();
            if (!self || ec || !self->valid_) return;
            // Waiting again before the read: an expiry between the two then ends that wait, and reads 0.
            self->arm();
            std::uint64_t expirations = 0;
            if (::read(self->descriptor_.native_handle(), &expirations, sizeof expirations) != sizeof expirations)
                expirations = 0;
            const auto fire = self->fire_;  // a copy: the block may invalidate this timer
            for (; expirations != 0 && self->valid_ && fire; --expirations) fire();
        };
        descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, expired);
    }

    asio::posix::stream_descriptor descriptor_;
    RunLoop::Block fire_;
    bool valid_ = true;
};

void postAfter(asio::io_context& context, double seconds, RunLoop::Block block) {
    auto timer = std::make_shared<asio::steady_timer>(context, toDuration(seconds));
    timer->async_wait([timer, block = std::move(block)](const boost::system::error_code& ec) {
        if (!ec) block();
    });
}

}  // namespace

AsioRunLoop::AsioRunLoop() : mainWork_(asio::make_work_guard(main_)) {
    backgroundWork_.emplace(asio::make_work_guard(background_));
    backgroundThread_ = std::thread([this] { background_.run(); });
}

AsioRunLoop::~AsioRunLoop() { shutdownBackground(); }

void AsioRunLoop::shutdownBackground() {
    backgroundWork_.reset();
    background_.stop();
    if (backgroundThread_.joinable()) backgroundThread_.join();
}

std::shared_ptr<Timer> AsioRunLoop::scheduleRepeating(double intervalSeconds, Block fire) {
    // A timer is owned by whoever holds the returned pointer (the collector's backgroundTimer field).
    auto timer = std::make_shared<AsioTimer>(main_, toDuration(intervalSeconds), guarded(std::move(fire)));
    timer->start();
    return timer;
}

RunLoop::Block AsioRunLoop::guarded(Block block) {
    return [this, block = std::move(block)] {
        if (!stopped_.load()) block();
    };
}

void AsioRunLoop::async(Block block) { asio::post(main_, guarded(std::move(block))); }

void AsioRunLoop::asyncAfter(double seconds, Block block) {
    // The timer object must be created on the thread that runs the context it is bound to only for
    // its waits; constructing it is thread-safe, and the post keeps creation on the main thread anyway.
    asio::post(main_, [this, seconds, block = guarded(std::move(block))]() mutable {
        postAfter(main_, seconds, std::move(block));
    });
}

void AsioRunLoop::backgroundAsync(Block block) { asio::post(background_, std::move(block)); }

void AsioRunLoop::backgroundAfter(double seconds, Block block) {
    asio::post(background_,
               [this, seconds, block = std::move(block)]() mutable { postAfter(background_, seconds, std::move(block)); });
}

void AsioRunLoop::run() {
    main_.restart();
    main_.run();
}

void AsioRunLoop::stop() {
    stopped_.store(true);
    main_.stop();
}

}  // namespace perfagent

#include "platform/asio_run_loop.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>

namespace perfagent {

namespace asio = boost::asio;

namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

/// Fixed-rate repeat: each expiry is the previous expiry plus the interval, so time spent in the
/// handler or in a busy main thread does not accumulate as drift.
class AsioTimer final : public Timer, public std::enable_shared_from_this<AsioTimer> {
public:
    AsioTimer(asio::io_context& context, std::chrono::steady_clock::duration interval, RunLoop::Block fire)
        : timer_(context), interval_(interval), fire_(std::move(fire)) {}

    void start() {
        timer_.expires_after(interval_);
        arm();
    }

    void invalidate() override {
        valid_ = false;
        timer_.cancel();
        fire_ = nullptr;  // release what the block holds, as an invalidated timer releases its target
    }

    bool isValid() const override { return valid_; }

private:
    void arm() {
        // The pending wait holds only a weak reference: a timer nobody holds any more stops by itself.
        timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
            auto self = weak.lock();
            if (!self || ec || !self->valid_) return;
            self->timer_.expires_at(self->timer_.expiry() + self->interval_);
            self->arm();
            auto fire = self->fire_;  // a copy: the block may invalidate this timer
            if (fire) fire();
        });
    }

    asio::steady_timer timer_;
    std::chrono::steady_clock::duration interval_;
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

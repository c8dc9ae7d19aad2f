#pragma once

#include "platform/clock.hpp"
#include "platform/run_loop.hpp"

#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>

namespace perfagent::testing {

/// @brief A run loop on virtual time: when the test advances the clock, every due block (either queue or a
/// timer) runs on the test's thread in time order, ties in submission order; any thread may submit.
class FakeRunLoop final : public RunLoop {
public:
    std::shared_ptr<Timer> scheduleRepeating(double intervalSeconds, Block fire) override {
        auto timer = std::make_shared<FakeTimer>(std::move(fire), toNs(intervalSeconds));
        step(timer, nowNs() + timer->interval);
        return timer;
    }
    void async(Block block) override { asyncAfter(0, std::move(block)); }
    void asyncAfter(double seconds, Block block) override {
        std::lock_guard lock(mutex_);
        entries_.emplace(std::pair{nowNs_ + toNs(seconds), sequence_++}, std::move(block));
    }
    void backgroundAsync(Block block) override { async(std::move(block)); }
    void backgroundAfter(double seconds, Block block) override { asyncAfter(seconds, std::move(block)); }

    double now() const { return static_cast<double>(nowNs()) / 1e9; }  ///< virtual seconds since the start
    /// Moves virtual time forward, running everything that falls due on the way (also what that submits).
    void advance(double seconds) {
        const std::int64_t end = nowNs() + toNs(seconds);
        for (;;) {
            std::unique_lock lock(mutex_);
            const auto first = entries_.begin();
            if (first == entries_.end() || first->first.first > end) break;
            nowNs_ = first->first.first;
            Block block = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            block();
        }
        std::lock_guard lock(mutex_);
        nowNs_ = end;
    }
    void runUntilIdle() { advance(0); }
    std::size_t pending() const { std::lock_guard lock(mutex_); return entries_.size(); }  ///< blocks and timers

private:
    struct FakeTimer final : Timer {
        FakeTimer(Block f, std::int64_t i) : fire(std::move(f)), interval(i) {}
        void invalidate() override { fire = nullptr; }
        bool isValid() const override { return fire != nullptr; }
        Block fire;
        std::int64_t interval;
    };

    static std::int64_t toNs(double seconds) { return std::llround(seconds * 1e9); }
    std::int64_t nowNs() const { std::lock_guard lock(mutex_); return nowNs_; }
    /// Fires at a fixed rate until the timer is invalidated or dropped.
    void step(const std::weak_ptr<FakeTimer>& weak, std::int64_t due) {
        std::lock_guard lock(mutex_);
        entries_.emplace(std::pair{due, sequence_++}, [this, weak, due] {
            const auto timer = weak.lock();
            if (!timer || !timer->fire) return;
            step(weak, due + timer->interval);
            auto fire = timer->fire;
            fire();
        });
    }

    mutable std::mutex mutex_;
    std::int64_t nowNs_ = 0;
    std::uint64_t sequence_ = 0;
    std::map<std::pair<std::int64_t, std::uint64_t>, Block> entries_;
};

/// @brief The fake loop's virtual time from a fixed instant; `shift` moves it without running anything.
struct FakeClock final : Clock {
    explicit FakeClock(const FakeRunLoop& loop, double epochSeconds = 1'700'000'000.0) : loop(loop), epoch(epochSeconds) {}
    double nowSeconds() const override { return epoch + loop.now() + offset; }
    void shift(double seconds) { offset += seconds; }
    const FakeRunLoop& loop;
    double epoch, offset = 0;
};

}  // namespace perfagent::testing

#pragma once

#include "platform/clock.hpp"
#include "platform/run_loop.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace perfagent::testing {

/// @brief A run loop on virtual time: nothing runs until the test advances the clock, then every due
/// block (main queue, background queue and timers alike) runs in time order, ties in submission order,
/// on the test's thread. Ten seconds of measurement take microseconds and are exactly repeatable.
class FakeRunLoop final : public RunLoop {
public:
    enum class Queue { Main, Background };

    std::shared_ptr<Timer> scheduleRepeating(double intervalSeconds, Block fire) override;
    void async(Block block) override { submit(0, Queue::Main, std::move(block)); }
    void asyncAfter(double seconds, Block block) override { submit(seconds, Queue::Main, std::move(block)); }
    void backgroundAsync(Block block) override { submit(0, Queue::Background, std::move(block)); }
    void backgroundAfter(double seconds, Block block) override {
        submit(seconds, Queue::Background, std::move(block));
    }

    /// Virtual seconds since the loop was made.
    double now() const;
    /// Moves virtual time forward by `seconds`, running everything that falls due on the way
    /// (including blocks submitted by the blocks it runs).
    void advance(double seconds);
    /// Runs everything already due at the current instant.
    void runUntilIdle() { advance(0); }
    /// Blocks and timers still waiting.
    std::size_t pending() const;
    /// The queue of the block now running (tests assert where work ran).
    Queue currentQueue() const { return current_; }

private:
    struct Entry {
        Queue queue;
        Block block;
    };
    using Key = std::pair<std::int64_t, std::uint64_t>;  // due (ns), submission order

    void submit(double seconds, Queue queue, Block block);
    void submitAt(std::int64_t dueNs, Queue queue, Block block);

    mutable std::mutex mutex_;
    std::int64_t nowNs_ = 0;
    std::uint64_t sequence_ = 0;
    std::map<Key, Entry> entries_;
    Queue current_ = Queue::Main;
};

/// @brief A clock that reads the fake loop's virtual time, offset from a fixed instant.
class FakeClock final : public Clock {
public:
    explicit FakeClock(const FakeRunLoop& loop, double epochSeconds = 1'700'000'000.0)
        : loop_(loop), epoch_(epochSeconds) {}
    double nowSeconds() const override { return epoch_ + loop_.now() + offset_; }
    /// Shifts the clock without running anything (instants between loop steps).
    void shift(double seconds) { offset_ += seconds; }

private:
    const FakeRunLoop& loop_;
    double epoch_;
    double offset_ = 0;
};

}  // namespace perfagent::testing

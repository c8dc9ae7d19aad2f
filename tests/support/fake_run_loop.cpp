#include "support/fake_run_loop.hpp"

#include <cmath>

namespace perfagent::testing {

namespace {

std::int64_t toNs(double seconds) { return static_cast<std::int64_t>(std::llround(seconds * 1e9)); }

class FakeTimer final : public Timer {
public:
    void invalidate() override {
        valid = false;
        fire = nullptr;
    }
    bool isValid() const override { return valid; }

    bool valid = true;
    RunLoop::Block fire;
};

}  // namespace

std::shared_ptr<Timer> FakeRunLoop::scheduleRepeating(double intervalSeconds, Block fire) {
    auto timer = std::make_shared<FakeTimer>();
    timer->fire = std::move(fire);
    const std::int64_t interval = toNs(intervalSeconds);
    std::int64_t firstDue;
    {
        std::lock_guard lock(mutex_);
        firstDue = nowNs_ + interval;
    }
    // Each firing schedules the next one at a fixed rate; a dropped or invalidated timer stops.
    auto step = std::make_shared<std::function<void(std::int64_t)>>();
    std::weak_ptr<FakeTimer> weak = timer;
    *step = [this, weak, interval, stepWeak = std::weak_ptr(step)](std::int64_t due) {
        auto self = weak.lock();
        auto next = stepWeak.lock();
        if (!self || !self->valid || !next) return;
        submitAt(due + interval, Queue::Main, [next, due, interval] { (*next)(due + interval); });
        auto block = self->fire;
        if (block) block();
    };
    submitAt(firstDue, Queue::Main, [step, firstDue] { (*step)(firstDue); });
    return timer;
}

double FakeRunLoop::now() const {
    std::lock_guard lock(mutex_);
    return static_cast<double>(nowNs_) / 1e9;
}

std::size_t FakeRunLoop::pending() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void FakeRunLoop::submit(double seconds, Queue queue, Block block) {
    std::int64_t due;
    {
        std::lock_guard lock(mutex_);
        due = nowNs_ + toNs(seconds);
    }
    submitAt(due, queue, std::move(block));
}

void FakeRunLoop::submitAt(std::int64_t dueNs, Queue queue, Block block) {
    std::lock_guard lock(mutex_);
    entries_.emplace(Key{dueNs, sequence_++}, Entry{queue, std::move(block)});
}

void FakeRunLoop::advance(double seconds) {
    std::int64_t end;
    {
        std::lock_guard lock(mutex_);
        end = nowNs_ + toNs(seconds);
    }
    for (;;) {
        Entry entry;
        {
            std::lock_guard lock(mutex_);
            auto first = entries_.begin();
            if (first == entries_.end() || first->first.first > end) {
                nowNs_ = end;
                return;
            }
            nowNs_ = first->first.first;
            entry = std::move(first->second);
            entries_.erase(first);
        }
        current_ = entry.queue;
        entry.block();
        current_ = Queue::Main;
    }
}

}  // namespace perfagent::testing

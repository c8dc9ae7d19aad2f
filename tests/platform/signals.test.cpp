#include "platform/signals.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

/// Collects what arrives on the watcher's thread; waits for it with a deadline so a lost signal fails
/// the test instead of hanging it.
class Arrivals {
public:
    void add(std::int64_t value) {
        std::lock_guard lock(mutex_);
        values_.push_back(value);
        threads_.push_back(std::this_thread::get_id());
        changed_.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return values_.size() >= count; });
    }
    std::vector<std::int64_t> values() {
        std::lock_guard lock(mutex_);
        return values_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::int64_t> values_;
    std::vector<std::thread::id> threads_;
};

TEST(SignalWatcher, UserSignalsPostInterruptionsAndOtherSignalsReachTheOwner) {
    NotificationCenter center;
    Arrivals arrivals;
    const int observer = 0;
    center.addObserver(&observer, std::string(kAudioSessionInterruptionNotification), [&](const Notification& n) {
        arrivals.add(std::get<std::int64_t>(n.userInfo.value().at(std::string(kAudioSessionInterruptionTypeKey))));
    });
    auto handlers = audioInterruptionSignals(center);
    handlers[SIGCONT] = [&] { arrivals.add(SIGCONT); };
    handlers[SIGKILL] = [&] { arrivals.add(SIGKILL); };

    SignalWatcher watcher(std::move(handlers));
    EXPECT_FALSE(watcher.watching(SIGKILL));

    // One at a time: the kernel merges a signal raised again before the first is taken.
    for (const int signal : {SIGUSR1, SIGUSR2, SIGCONT, SIGUSR1}) {
        const auto before = arrivals.values().size();
        ASSERT_EQ(std::raise(signal), 0);
        ASSERT_TRUE(arrivals.waitFor(before + 1)) << signal;
    }

    EXPECT_EQ(arrivals.values(), (std::vector<std::int64_t>{1, 0, SIGCONT, 1}));
    for (const auto& id : arrivals.threads()) EXPECT_NE(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace perfagent

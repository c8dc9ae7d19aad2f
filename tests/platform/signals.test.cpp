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

/// Collects what arrives on the watcher's thread, with the thread it came on.
class Arrivals {
public:
    void add(std::int64_t value) {
        std::lock_guard lock(mutex_);
        values_.emplace_back(value, std::this_thread::get_id());
        changed_.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return values_.size() >= count; });
    }
    std::vector<std::pair<std::int64_t, std::thread::id>> values() {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::int64_t, std::thread::id>> values_;
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

    std::vector<std::int64_t> values;
    for (const auto& [value, thread] : arrivals.values()) {
        values.push_back(value);
        EXPECT_NE(thread, std::this_thread::get_id());
    }
    EXPECT_EQ(values, (std::vector<std::int64_t>{1, 0, SIGCONT, 1}));
}

}  // namespace
}  // namespace perfagent

#include "platform/signals.hpp"
#include "keepalive/notification_center.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <signal.h>
#include <unistd.h>
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

TEST(SignalWatcher, SignalsSentBeforeAndWhileItWatchesReachTheirHandlersOnItsThread) {
    blockHandledSignals();
    NotificationCenter center;
    Arrivals arrivals;
    const int observer = 0;
    center.addObserver(&observer, std::string(kAudioSessionInterruptionNotification), [&](const Notification& n) {
        arrivals.add(std::get<std::int64_t>(n.userInfo.value().at(std::string(kAudioSessionInterruptionTypeKey))));
    });
    auto handlers = audioInterruptionSignals(center);
    handlers[SIGCONT] = [&] { arrivals.add(SIGCONT); };

    // Sent to the process, as a service manager does, before anything watches: it waits, blocked.
    ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
    SignalWatcher watcher(std::move(handlers));
    ASSERT_TRUE(arrivals.waitFor(1));
    // One at a time: the kernel merges a signal sent again before the first is taken.
    for (const int signal : {SIGUSR1, SIGCONT, SIGUSR1}) {
        const auto before = arrivals.values().size();
        ASSERT_EQ(::kill(::getpid(), signal), 0);
        ASSERT_TRUE(arrivals.waitFor(before + 1)) << signal;
    }

    std::vector<std::int64_t> values;
    for (const auto& [value, thread] : arrivals.values()) {
        values.push_back(value);
        EXPECT_NE(thread, std::this_thread::get_id());
    }
    EXPECT_EQ(values, (std::vector<std::int64_t>{0, 1, SIGCONT, 1}));
}

}  // namespace
}  // namespace perfagent

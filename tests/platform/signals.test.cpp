#include "platform/signals.hpp"
#include "keepalive/notification_center.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace perfagent {
namespace {

TEST(SignalWatcher, SignalsSentBeforeAndWhileItWatchesReachTheirHandlersOnItsThread) {
    blockHandledSignals();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int64_t> arrivals;  // what arrived; -1: a handler ran on the test's thread
    const auto arrive = [&, test = std::this_thread::get_id()](std::int64_t value) {
        std::lock_guard lock(mutex);
        arrivals.push_back(std::this_thread::get_id() == test ? -1 : value);
        changed.notify_all();
    };
    const auto waitFor = [&](std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return arrivals.size() >= count; });
    };
    NotificationCenter center;
    const int observer = 0;
    center.addObserver(&observer, std::string(kAudioSessionInterruptionNotification), [&](const Notification& n) {
        arrive(std::get<std::int64_t>(n.userInfo.value().at(std::string(kAudioSessionInterruptionTypeKey))));
    });
    auto handlers = audioInterruptionSignals(center);
    handlers[SIGCONT] = [&] { arrive(SIGCONT); };

    // Sent to the process, as a service manager does, before anything watches: it waits, blocked.
    ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
    SignalWatcher watcher(std::move(handlers));
    ASSERT_TRUE(waitFor(1));
    // One at a time: the kernel merges a signal sent again before the first is taken.
    for (const int signal : {SIGUSR1, SIGCONT, SIGUSR1}) {
        const std::size_t before = arrivals.size();  // nothing arrives before the signal is sent
        ASSERT_EQ(::kill(::getpid(), signal), 0);
        ASSERT_TRUE(waitFor(before + 1)) << signal;
    }
    EXPECT_EQ(arrivals, (std::vector<std::int64_t>{0, 1, SIGCONT, 1}));
}

}  // namespace
}  // namespace perfagent

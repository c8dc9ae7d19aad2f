#include "platform/signals.hpp"
#include "keepalive/notification_center.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace perfagent {
namespace {

TEST(SignalWatcher, SignalsSentBeforeAndWhileItWatchesReachTheirHandlersOnItsThread) {
    blockHandledSignals();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::int64_t, std::thread::id>> arrivals;  // what arrived, on which thread
    const auto arrive = [&](std::int64_t value) {
        std::lock_guard lock(mutex);
        arrivals.emplace_back(value, std::this_thread::get_id());
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

    std::vector<std::int64_t> values;
    // -1: a handler ran on the test's thread.
    for (const auto& [value, thread] : arrivals) values.push_back(thread == std::this_thread::get_id() ? -1 : value);
    EXPECT_EQ(values, (std::vector<std::int64_t>{0, 1, SIGCONT, 1}));
}

}  // namespace
}  // namespace perfagent

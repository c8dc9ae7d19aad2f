#include "os/signals.hpp"
#include "keepalive/notification_center.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <semaphore>
#include <thread>
#include <unistd.h>
#include <vector>

namespace perfagent {
namespace {

TEST(SignalWatcher, ASignalSentBeforeItWatchesReachesItsHandlerOnItsThread) {
    blockHandledSignals();
    std::mutex mutex;
    std::vector<std::int64_t> arrivals;  // what arrived; -1: a handler ran on the test's thread
    std::counting_semaphore<> arrived(0);
    const auto arrive = [&, test = std::this_thread::get_id()](std::int64_t value) {
        { std::lock_guard lock(mutex); arrivals.push_back(std::this_thread::get_id() == test ? -1 : value); }
        arrived.release();
    };
    const auto waitForOne = [&] { return arrived.try_acquire_for(std::chrono::seconds(30)); };
    NotificationCenter center;
    const int observer = 0;
    center.addObserver(&observer, std::string(kAudioSessionInterruptionNotification), [&](const Notification& n) {
        arrive(std::get<std::int64_t>(n.userInfo.value().at(std::string(kAudioSessionInterruptionTypeKey))));
    });
    auto handlers = audioInterruptionSignals(center);

    // Sent to the process, as a service manager does, before anything watches: it waits, blocked.
    ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
    SignalWatcher watcher(std::move(handlers));
    ASSERT_TRUE(waitForOne());
    EXPECT_EQ(arrivals, (std::vector<std::int64_t>{0}));
}

}  // namespace
}  // namespace perfagent

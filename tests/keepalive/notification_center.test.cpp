#include "keepalive/notification_center.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace perfagent {
namespace {

TEST(NotificationCenter, CallsEachRegistrationOnThePostingThreadWithoutHoldingItsLock) {
    NotificationCenter center;
    const int observerA = 0, observerB = 0;
    int a = 0, b = 0;
    std::thread::id ranOn;
    center.addObserver(&observerA, "N", [&](const Notification&) { ++a; });
    center.addObserver(&observerA, "N", [&](const Notification&) { ++a; });
    center.addObserver(&observerA, "Other", [&](const Notification&) { ++a; });
    center.addObserver(&observerB, "N", [&](const Notification&) {
        ++b;
        ranOn = std::this_thread::get_id();
        center.removeObserver(&observerA, "N");  // coming back into the center must not deadlock
    });

    std::thread::id poster;
    std::thread thread([&] { poster = std::this_thread::get_id(); center.post(Notification{"N", std::nullopt}); });
    thread.join();
    EXPECT_EQ(std::tuple(a, b, ranOn), std::tuple(2, 1, poster));

    // The removal dropped both of A's registrations for "N" and nothing else.
    center.post(Notification{"N", std::nullopt});
    center.post(Notification{"Other", std::nullopt});
    EXPECT_EQ(std::tuple(a, b), std::tuple(3, 2));
    EXPECT_EQ(center.registrationCount(&observerA, "Other"), 1u);
}

}  // namespace
}  // namespace perfagent

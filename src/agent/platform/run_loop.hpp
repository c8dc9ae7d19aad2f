#pragma once

#include <functional>
#include <memory>

namespace perfagent {

/// @brief A repeating timer handed out by a RunLoop.
class Timer {
public:
    virtual ~Timer() = default;
    /// Stops the timer for good; a firing already under way finishes. Call on the main thread.
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

/// @brief The main thread's run loop and the two dispatch queues the agent uses.
///
/// The main queue runs blocks one at a time in submission order on the main thread. The background
/// queue runs blocks off the main thread; blocks there must never touch application objects and must
/// never sleep: a loop on it is a chain of `backgroundAfter` steps.
class RunLoop {
public:
    using Block = std::function<void()>;
    virtual ~RunLoop() = default;

    /// A repeating timer on the main thread: first fire `interval` seconds from now, then every
    /// `interval` seconds at a fixed rate (late fires do not push later ones back). Main thread only.
    virtual std::shared_ptr<Timer> scheduleRepeating(double intervalSeconds, Block fire) = 0;

    /// Submits `block` to the main queue. Safe from any thread.
    virtual void async(Block block) = 0;
    /// Submits `block` to the main queue `seconds` from now. Safe from any thread.
    virtual void asyncAfter(double seconds, Block block) = 0;

    /// Submits `block` to the background queue. Safe from any thread.
    virtual void backgroundAsync(Block block) = 0;
    /// Submits `block` to the background queue `seconds` from now. Safe from any thread.
    virtual void backgroundAfter(double seconds, Block block) = 0;
};

}  // namespace perfagent

#pragma once

#include "platform/run_loop.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

namespace perfagent {

/// @brief Hands work from another thread to the main queue, with at most `capacity` blocks waiting there
/// at once, so a main thread that is held up cannot make the waiting work grow without bound.
class MainThreadHandoff {
public:
    MainThreadHandoff(RunLoop& runLoop, std::size_t capacity) : runLoop_(runLoop), state_(std::make_shared<State>()) {
        state_->capacity = capacity;
    }
    /// Drops what is still waiting.
    ~MainThreadHandoff() { close(); }
    MainThreadHandoff(const MainThreadHandoff&) = delete;
    MainThreadHandoff& operator=(const MainThreadHandoff&) = delete;

    /// Queues `block` for the main thread; false (and nothing queued) when `capacity` blocks are waiting
    /// or the handoff is closed. Safe from any thread.
    bool post(std::function<void()> block) {
        if (state_->closed) return false;
        if (state_->waiting.fetch_add(1) >= state_->capacity) {
            --state_->waiting;
            return false;
        }
        runLoop_.async([state = state_, block = std::move(block)] {
            --state->waiting;
            if (!state->closed) block();
        });
        return true;
    }

    /// Blocks still waiting are dropped when their turn comes, and nothing more is queued. Call on the
    /// main thread (or while the main loop is not running).
    void close() { state_->closed = true; }

private:
    struct State {
        std::size_t capacity = 0;
        std::atomic<std::size_t> waiting{0};
        std::atomic<bool> closed{false};
    };
    RunLoop& runLoop_;
    std::shared_ptr<State> state_;
};

}  // namespace perfagent

#pragma once

#include "platform/run_loop.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <optional>
#include <thread>

namespace perfagent {

/// @brief The real run loop: an Asio io_context run by the main thread, and a second io_context on
/// one worker thread for the background queue.
class AsioRunLoop final : public RunLoop {
public:
    AsioRunLoop();
    ~AsioRunLoop() override;
    AsioRunLoop(const AsioRunLoop&) = delete;
    AsioRunLoop& operator=(const AsioRunLoop&) = delete;

    std::shared_ptr<Timer> scheduleRepeating(double intervalSeconds, Block fire) override;
    void async(Block block) override;
    void asyncAfter(double seconds, Block block) override;
    void backgroundAsync(Block block) override;
    void backgroundAfter(double seconds, Block block) override;

    /// Runs the main queue on the calling thread until stop().
    void run();
    /// Makes run() return; safe from any thread and from a signal-handling thread.
    void stop();
    /// Ends the background queue: blocks not yet started are dropped and its thread is joined. Call
    /// before the objects its blocks refer to go away.
    void shutdownBackground();

private:
    boost::asio::io_context main_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> mainWork_;
    boost::asio::io_context background_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> backgroundWork_;
    std::thread backgroundThread_;
};

}  // namespace perfagent

#pragma once

#include "platform/run_loop.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <optional>
#include <thread>

namespace perfagent {

/// @brief The real run loop: an Asio io_context run by the main thread, and a second io_context on
/// one worker thread for the background queue. Once stop() has been called no block of the main queue
/// runs any more, so that the main context can still be run afterwards for the I/O that is ending
/// (the last uploads) without the application's blocks running after it has terminated.
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
    /// The main thread's context, for I/O that runs on the main thread.
    boost::asio::io_context& context() { return main_; }

private:
    /// The block, to run only while the loop has not been stopped.
    Block guarded(Block block);

    std::atomic<bool> stopped_{false};
    boost::asio::io_context main_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> mainWork_;
    boost::asio::io_context background_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> backgroundWork_;
    std::thread backgroundThread_;
};

}  // namespace perfagent

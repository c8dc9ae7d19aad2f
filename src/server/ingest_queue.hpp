#pragma once

#include "storage/run_store.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace perfagent {

/// How much store work may wait: a slow database must not let memory grow without bound.
struct IngestQueueLimits {
    std::size_t jobs = 4096;
    std::size_t bytes = 256u << 20;
};

/// @brief Runs store work in arrival order on one worker thread that owns the store, so that a slow
/// database never holds up the thread that reads the agents' sockets. When the queue is full, work is
/// refused at once and the caller answers 503.
class IngestQueue {
public:
    using Job = std::function<void(RunStore&)>;
    /// Called on the worker thread with the message of a job that threw.
    using ErrorHandler = std::function<void(const std::string&)>;

    IngestQueue(std::unique_ptr<RunStore> store, IngestQueueLimits limits, ErrorHandler onError);
    /// Runs what is queued, then stops the worker.
    ~IngestQueue();
    IngestQueue(const IngestQueue&) = delete;
    IngestQueue& operator=(const IngestQueue&) = delete;

    /// Queues `job`, which holds about `bytes` of memory until it has run; false (and `job` dropped)
    /// when the queue is full.
    bool tryPush(Job job, std::size_t bytes = 0);
    /// Jobs waiting or running.
    std::size_t pending() const;
    const IngestQueueLimits& limits() const { return limits_; }

private:
    void work();

    struct Entry {
        Job job;
        std::size_t bytes;
    };
    std::unique_ptr<RunStore> store_;
    const IngestQueueLimits limits_;
    const ErrorHandler onError_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace perfagent

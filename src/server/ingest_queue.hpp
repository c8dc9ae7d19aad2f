#pragma once

#include "storage/run_store.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace perfagent {

/// How much store work may wait: a slow database must not let memory grow without bound.
struct IngestQueueLimits {
    std::size_t jobs = 4096;
    std::size_t bytes = 256u << 20;
    /// The first wait before a write the store could not take is tried again; it doubles up to `maxRetry`.
    std::chrono::milliseconds firstRetry{250};
    std::chrono::milliseconds maxRetry{5'000};
};

/// @brief One piece of store work and how its requester learns that it was not done.
struct IngestJob {
    /// Runs on the worker; answers the requester itself when done. Throws StoreUnavailable when the store
    /// cannot do it now, anything else when it never could.
    std::function<void(RunStore&)> run;
    /// Tells the requester the work was not done: 503 while the store is unavailable, 500 when it failed.
    std::function<void(unsigned status, std::string_view reason)> refuse;
    /// A write is kept and tried again, in order, until it is stored; a read is answered 503 and dropped.
    bool write = false;
    /// Memory the job holds until it has run.
    std::size_t bytes = 0;
};

/// @brief Runs store work in arrival order on one worker thread that owns the store, so that a slow
/// database never holds up the thread that reads the agents' sockets.
///
/// When the store cannot write (disk full, locked, connection lost), the writes already queued are kept
/// and the first of them is tried again with a growing wait, never dropped; their requesters are told
/// 503 at once, and new writes are refused until one is stored again. Reads still run meanwhile. When
/// the queue is full, work is refused at once.
class IngestQueue {
public:
    /// Called on the worker thread with lines worth logging: a job that failed, the store unavailable and
    /// available again. `kind` groups lines that may repeat at a high rate.
    using Log = std::function<void(std::string_view kind, const std::string& line)>;

    IngestQueue(std::unique_ptr<RunStore> store, IngestQueueLimits limits, Log log);
    /// Same as stop().
    ~IngestQueue();
    IngestQueue(const IngestQueue&) = delete;
    IngestQueue& operator=(const IngestQueue&) = delete;

    enum class Push { Queued, Full, Unavailable };
    /// Queues `job`; when not Queued, `job` is dropped without a word and the caller answers.
    Push tryPush(IngestJob job);
    /// Refuses new work, runs what is queued and stops the worker. Writes still waiting for an
    /// unavailable store were answered 503 and are given up (and counted in the log). Idempotent.
    void stop();
    /// Jobs waiting or running.
    std::size_t pending() const;
    const IngestQueueLimits& limits() const { return limits_; }

private:
    void work();
    /// Runs `job` outside the lock; the lock is held again on return.
    void runJob(std::unique_lock<std::mutex>& lock, IngestJob& job);
    void becameUnavailable(const std::string& reason);

    std::unique_ptr<RunStore> store_;
    const IngestQueueLimits limits_;
    const Log log_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<IngestJob> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t running_ = 0;
    bool stopping_ = false;
    bool unavailable_ = false;                        // a write failed for the store, and none stored since
    std::chrono::steady_clock::time_point retryAt_;   // when the first queued write is tried again
    std::chrono::milliseconds backoff_{0};
    std::thread worker_;
};

}  // namespace perfagent

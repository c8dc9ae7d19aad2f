#pragma once

#include "storage/run_store.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include "base/thread_annotations.hpp"

#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace perfagent {

/// How much store work may wait: a slow database must not let memory grow without bound.
struct IngestQueueLimits {
    std::size_t jobs = 4096;
    std::size_t bytes = 256u << 20;
    /// Writes committed in one transaction at most: one commit for several reports.
    std::size_t batch = 32;
    /// The first wait before a write the store could not take is tried again; it doubles up to `maxRetry`.
    std::chrono::milliseconds firstRetry{250};
    std::chrono::milliseconds maxRetry{5'000};
};

/// @brief One piece of store work and how its requester learns the outcome.
struct IngestJob {
    /// Runs on a worker; throws StoreUnavailable when the store cannot do it now, anything else when it never
    /// could. A read answers its requester itself. A write only does its store work, inside a transaction
    /// that may hold other writes too, and may run again when that transaction is rolled back.
    std::function<void(RunStore&)> run{};
    /// A write's answer, once its transaction is committed.
    std::function<void()> stored{};
    /// Tells the requester the work was not done: 503 while the store is unavailable, 500 when it failed.
    std::function<void(unsigned status, std::string_view reason)> refuse{};
    /// A write is kept and tried again, in order, until it is stored; a read is answered 503 and dropped.
    bool write = false;
    /// Memory the job holds until it has run.
    std::size_t bytes = 0;
    /// Writes with the same key (a device's) run in their order on one worker; reads run on any.
    std::string key{};
};

/// @brief Runs store work on worker threads, each owning one store (one database connection), so that a
/// slow database never holds up the thread that reads the agents' sockets.
///
/// Writes go to the worker their key hashes to, so that a device's reports are stored in arrival order
/// by one worker while other devices' are stored beside them; a read goes to the worker with the least
/// work. A worker commits up to `batch` consecutive writes in one transaction and answers each after the
/// commit; when such a transaction fails for one of its writes, they are run again one per transaction,
/// so that only the write at fault is refused.
///
/// When the store cannot write (disk full, locked, connection lost), a worker keeps the writes already
/// queued and tries the first of them again with a growing wait, never dropping one; their requesters are
/// told 503 at once, and new writes for that worker are refused until one is stored again. Reads still run
/// meanwhile. When the queue is full, work is refused at once.
class IngestQueue {
public:
    /// Called on the workers with lines worth logging: a job that failed, the store unavailable and
    /// available again. `kind` groups lines that may repeat at a high rate.
    using Log = std::function<void(std::string_view kind, const std::string& line)>;

    /// One worker per store; each store is used by its worker only.
    IngestQueue(std::vector<std::unique_ptr<RunStore>> stores, IngestQueueLimits limits, Log log);
    IngestQueue(std::unique_ptr<RunStore> store, IngestQueueLimits limits, Log log);
    /// Same as stop().
    ~IngestQueue();
    IngestQueue(const IngestQueue&) = delete;
    IngestQueue& operator=(const IngestQueue&) = delete;

    enum class Push { Queued, Full, Unavailable };
    /// Queues `job`; when not Queued, `job` is dropped without a word and the caller answers.
    Push tryPush(IngestJob job);
    /// Refuses new work, runs what is queued and stops the workers. Writes still waiting for an
    /// unavailable store were answered 503 and are given up (and counted in the log). Idempotent.
    void stop();
    /// Jobs waiting or running.
    std::size_t pending() const;
    const IngestQueueLimits& limits() const { return limits_; }

private:
    /// A worker's queue and state; every member but `store` and `thread` is guarded by the queue's mutex (not
    /// written as GUARDED_BY: a nested struct cannot name it, so the functions that touch them REQUIRE it).
    struct Worker {
        std::unique_ptr<RunStore> store;
        std::deque<IngestJob> queue{};
        std::condition_variable wake{};
        std::size_t running = 0;
        bool unavailable = false;                       // a write failed for the store, and none stored since
        std::size_t singly = 0;                         // writes to run one per transaction after a failed batch
        std::chrono::steady_clock::time_point retryAt{};  // when the first queued write is tried again
        std::chrono::milliseconds backoff{0};
        std::thread thread{};
    };

    void work(Worker& worker) EXCLUDES(mutex_);
    /// Runs a read outside the lock; the lock is held again on return.
    void runRead(MutexLock& lock, Worker& worker, IngestJob job) REQUIRES(mutex_);
    /// Takes the writes at the front of the worker's queue (up to a batch) and stores them in one
    /// transaction outside the lock; the lock is held again on return.
    void runWrites(MutexLock& lock, Worker& worker) REQUIRES(mutex_);
    void becameUnavailable(Worker& worker, const std::string& reason) REQUIRES(mutex_);

    const IngestQueueLimits limits_;
    const Log log_;
    // One mutex guards every worker's queue and state and the counts below: each holds it only to move
    // jobs in or out, never while store work runs.
    mutable Mutex mutex_;
    std::vector<std::unique_ptr<Worker>> workers_;  // fixed once the constructor returns
    std::size_t waitingJobs_ GUARDED_BY(mutex_) = 0;  // in the workers' queues
    std::size_t queuedBytes_ GUARDED_BY(mutex_) = 0;  // held by jobs waiting or running
    bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace perfagent

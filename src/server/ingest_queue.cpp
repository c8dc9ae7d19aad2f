#include "server/ingest_queue.hpp"

#include <algorithm>
#include <exception>
#include <optional>

namespace perfagent {

namespace {

bool isRead(const IngestJob& job) { return !job.write; }

}  // namespace

IngestQueue::IngestQueue(std::unique_ptr<RunStore> store, IngestQueueLimits limits, Log log)
    : store_(std::move(store)), limits_(limits), log_(std::move(log)), worker_([this] { work(); }) {}

IngestQueue::~IngestQueue() { stop(); }

void IngestQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
}

IngestQueue::Push IngestQueue::tryPush(IngestJob job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || (job.write && unavailable_)) return Push::Unavailable;
        if (queue_.size() >= limits_.jobs || queuedBytes_ + job.bytes > limits_.bytes) return Push::Full;
        queuedBytes_ += job.bytes;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return Push::Queued;
}

std::size_t IngestQueue::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size() + running_;
}

void IngestQueue::work() {
    std::unique_lock lock(mutex_);
    bool lastTry = false;  // once stopping, a failing store gets one more chance
    for (;;) {
        if (!unavailable_) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and everything has run
            IngestJob job = std::move(queue_.front());
            queue_.pop_front();
            runJob(lock, job);
            continue;
        }
        // The store is unavailable: reads run at once, the first write when its wait is over.
        if (const auto read = std::find_if(queue_.begin(), queue_.end(), isRead); read != queue_.end()) {
            IngestJob job = std::move(*read);
            queue_.erase(read);
            runJob(lock, job);
            continue;
        }
        if (stopping_ && lastTry) {
            log_("store unavailable", "store unavailable at the end: " + std::to_string(queue_.size()) +
                                          " reports not stored (their senders were answered 503)");
            queue_.clear();
            queuedBytes_ = 0;
            return;
        }
        if (stopping_) {
            lastTry = true;
        } else {
            wake_.wait_until(lock, retryAt_, [this] {
                return stopping_ || std::any_of(queue_.begin(), queue_.end(), isRead);
            });
            if (stopping_ || std::chrono::steady_clock::now() < retryAt_) continue;
        }
        IngestJob job = std::move(queue_.front());
        queue_.pop_front();
        runJob(lock, job);
    }
}

void IngestQueue::runJob(std::unique_lock<std::mutex>& lock, IngestJob& job) {
    running_ = 1;
    lock.unlock();
    std::optional<std::string> unavailable;
    bool done = false;
    try {
        job.run(*store_);
        done = true;
    } catch (const StoreUnavailable& e) {
        unavailable = e.what();
    } catch (const std::exception& e) {
        log_("store error", std::string("store error: ") + e.what());
    } catch (...) {
        log_("store error", "store error: unknown error");
    }
    const bool keep = unavailable && job.write;
    // A write the store answered, stored or refused for itself: the store is reachable again.
    const bool writeEnded = job.write && !keep;
    const std::size_t bytes = job.bytes;
    if (!done && !keep) job.refuse(unavailable ? 503 : 500, unavailable ? "the store is unavailable" : "the store failed");
    if (!keep) job = {};  // what the job held goes before its bytes are counted free
    lock.lock();
    running_ = 0;
    if (keep) {
        queue_.push_front(std::move(job));  // first in line again, its bytes still counted
        return becameUnavailable(*unavailable);
    }
    queuedBytes_ -= bytes;
    if (writeEnded && unavailable_) {
        unavailable_ = false;
        log_("store available", "store available again");
    }
}

void IngestQueue::becameUnavailable(const std::string& reason) {
    if (!unavailable_) {
        unavailable_ = true;
        backoff_ = limits_.firstRetry;
        std::size_t writes = 0;
        for (IngestJob& queued : queue_) {
            if (!queued.write) continue;
            ++writes;
            queued.refuse(503, "the store is unavailable");
        }
        log_("store unavailable", "store unavailable: " + reason + "; " + std::to_string(writes) +
                                      " reports kept and tried again until stored");
    } else {
        backoff_ = std::min(backoff_ * 2, limits_.maxRetry);
    }
    retryAt_ = std::chrono::steady_clock::now() + backoff_;
}

}  // namespace perfagent

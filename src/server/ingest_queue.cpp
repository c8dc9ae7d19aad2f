#include "server/ingest_queue.hpp"

#include <exception>

namespace perfagent {

IngestQueue::IngestQueue(std::unique_ptr<RunStore> store, IngestQueueLimits limits, ErrorHandler onError)
    : store_(std::move(store)), limits_(limits), onError_(std::move(onError)), worker_([this] { work(); }) {}

IngestQueue::~IngestQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

bool IngestQueue::tryPush(Job job, std::size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || queue_.size() >= limits_.jobs || queuedBytes_ + bytes > limits_.bytes) return false;
        queue_.push_back({std::move(job), bytes});
        queuedBytes_ += bytes;
    }
    wake_.notify_one();
    return true;
}

std::size_t IngestQueue::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size() + running_;
}

void IngestQueue::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and everything has run
        Entry entry = std::move(queue_.front());
        queue_.pop_front();
        running_ = 1;
        lock.unlock();
        try {
            entry.job(*store_);
        } catch (const std::exception& e) {
            if (onError_) onError_(e.what());
        } catch (...) {
            if (onError_) onError_("unknown error");
        }
        entry.job = nullptr;  // what the job held goes before its bytes are counted free
        lock.lock();
        queuedBytes_ -= entry.bytes;
        running_ = 0;
    }
}

}  // namespace perfagent

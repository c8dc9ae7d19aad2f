#include "ingest/ingest_queue.hpp"

#include <algorithm>
#include <exception>
#include <optional>

namespace perfagent {

namespace {

bool isRead(const IngestJob& job) { return !job.write; }

}  // namespace

IngestQueue::IngestQueue(std::vector<std::unique_ptr<RunStore>> stores, IngestQueueLimits limits, Log log)
    : limits_(limits), log_(std::move(log)) {
    for (auto& store : stores) {
        workers_.push_back(std::make_unique<Worker>());
        workers_.back()->store = std::move(store);
    }
    for (auto& worker : workers_) worker->thread = std::thread([this, &worker = *worker] { work(worker); });
}

IngestQueue::IngestQueue(std::unique_ptr<RunStore> store, IngestQueueLimits limits, Log log)
    : IngestQueue([&] {
          std::vector<std::unique_ptr<RunStore>> stores;
          stores.push_back(std::move(store));
          return stores;
      }(), limits, std::move(log)) {}

IngestQueue::~IngestQueue() { stop(); }

void IngestQueue::stop() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    for (auto& worker : workers_) {
        worker->wake.notify_one();
        if (worker->thread.joinable()) worker->thread.join();
    }
}

IngestQueue::Push IngestQueue::tryPush(IngestJob job) {
    Worker* target = nullptr;
    {
        MutexLock lock(mutex_);
        if (stopping_) return Push::Unavailable;
        if (job.write) {
            target = workers_[std::hash<std::string>{}(job.key) % workers_.size()].get();
            if (target->unavailable) return Push::Unavailable;
        } else {
            target = std::min_element(workers_.begin(), workers_.end(), [](const auto& a, const auto& b) {
                         return a->queue.size() + a->running < b->queue.size() + b->running;
                     })->get();
        }
        if (waitingJobs_ >= limits_.jobs || queuedBytes_ + job.bytes > limits_.bytes) return Push::Full;
        ++waitingJobs_;
        queuedBytes_ += job.bytes;
        target->queue.push_back(std::move(job));
    }
    target->wake.notify_one();
    return Push::Queued;
}

std::size_t IngestQueue::pending() const {
    MutexLock lock(mutex_);
    std::size_t running = 0;
    for (const auto& worker : workers_) running += worker->running;
    return waitingJobs_ + running;
}

void IngestQueue::work(Worker& worker) {
    MutexLock lock(mutex_);
    bool lastTry = false;  // once stopping, a failing store gets one more chance
    const auto takeFront = [&]() REQUIRES(mutex_) {
        IngestJob job = std::move(worker.queue.front());
        worker.queue.pop_front();
        --waitingJobs_;
        return job;
    };
    for (;;) {
        if (!worker.unavailable) {
            lock.wait(worker.wake, [&]() REQUIRES(mutex_) { return stopping_ || !worker.queue.empty(); });
            if (worker.queue.empty()) return;  // stopping, and everything has run
            if (isRead(worker.queue.front())) runRead(lock, worker, takeFront());
            else runWrites(lock, worker);
            continue;
        }
        // The store is unavailable: reads run at once, the first writes when their wait is over.
        if (const auto read = std::find_if(worker.queue.begin(), worker.queue.end(), isRead); read != worker.queue.end()) {
            IngestJob job = std::move(*read);
            worker.queue.erase(read);
            --waitingJobs_;
            runRead(lock, worker, std::move(job));
            continue;
        }
        if (stopping_ && lastTry) {
            log_("store unavailable", "store unavailable at the end: " + std::to_string(worker.queue.size()) +
                                          " reports not stored (their senders were answered 503)");
            for (const IngestJob& job : worker.queue) queuedBytes_ -= job.bytes;
            waitingJobs_ -= worker.queue.size();
            worker.queue.clear();
            return;
        }
        if (stopping_) {
            lastTry = true;
        } else {
            lock.waitUntil(worker.wake, worker.retryAt, [&]() REQUIRES(mutex_) {
                return stopping_ || std::any_of(worker.queue.begin(), worker.queue.end(), isRead);
            });
            if (stopping_ || std::chrono::steady_clock::now() < worker.retryAt) continue;
        }
        runWrites(lock, worker);
    }
}

void IngestQueue::runRead(MutexLock& lock, Worker& worker, IngestJob job) {
    worker.running = 1;
    std::size_t bytes = 0;
    {
        MutexUnlock unlocked(lock, mutex_);
        try {
            job.run(*worker.store);
        } catch (const StoreUnavailable&) {
            job.refuse(503, "the store is unavailable");
        } catch (const std::exception& e) {
            log_("store error", std::string("store error: ") + e.what());
            job.refuse(500, "the store failed");
        }
        bytes = job.bytes;
        job = {};  // what the job held goes before its bytes are counted free
    }
    worker.running = 0;
    queuedBytes_ -= bytes;
}

void IngestQueue::runWrites(MutexLock& lock, Worker& worker) {
    std::vector<IngestJob> batch;
    const std::size_t most = worker.singly > 0 ? 1 : std::max<std::size_t>(1, limits_.batch);
    while (batch.size() < most && !worker.queue.empty() && worker.queue.front().write) {
        batch.push_back(std::move(worker.queue.front()));
        worker.queue.pop_front();
        --waitingJobs_;
    }
    worker.running = batch.size();
    std::optional<std::string> unavailable, failure;
    bool single = false, keep = false;
    std::size_t bytes = 0;
    {
        MutexUnlock unlocked(lock, mutex_);
        // A device's writes keep their order; the devices' rows are locked in one order by every batch, so
        // that two servers' batches on one database never wait for each other in a circle.
        std::stable_sort(batch.begin(), batch.end(), [](const IngestJob& a, const IngestJob& b) { return a.key < b.key; });
        try {
            worker.store->writeTogether([&] {
                for (IngestJob& job : batch) job.run(*worker.store);
            });
        } catch (const StoreUnavailable& e) {
            unavailable = e.what();
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown error";
        }
        single = batch.size() == 1;
        if (!unavailable && !failure) {
            for (IngestJob& job : batch)
                if (job.stored) job.stored();
        } else if (failure && single) {
            log_("store error", "store error: " + *failure);
            batch.front().refuse(500, "the store failed");
        }
        keep = unavailable || (failure && !single);
        for (const IngestJob& job : batch) bytes += job.bytes;
        if (!keep) batch.clear();  // what the jobs held goes before their bytes are counted free
    }
    worker.running = 0;
    if (worker.singly > 0) --worker.singly;
    if (keep) {
        // First in line again, in their order, their bytes still counted.
        waitingJobs_ += batch.size();
        for (auto job = batch.rbegin(); job != batch.rend(); ++job) worker.queue.push_front(std::move(*job));
        if (unavailable) return becameUnavailable(worker, *unavailable);
        worker.singly = batch.size();  // each alone now, so that only the one at fault is refused
        return;
    }
    queuedBytes_ -= bytes;
    if (worker.unavailable) {
        // A write the store answered, stored or refused for itself: the store is reachable again.
        worker.unavailable = false;
        log_("store available", "store available again");
    }
}

void IngestQueue::becameUnavailable(Worker& worker, const std::string& reason) {
    if (!worker.unavailable) {
        worker.unavailable = true;
        worker.backoff = limits_.firstRetry;
        std::size_t writes = 0;
        for (IngestJob& queued : worker.queue) {
            if (!queued.write) continue;
            ++writes;
            queued.refuse(503, "the store is unavailable");
        }
        log_("store unavailable", "store unavailable: " + reason + "; " + std::to_string(writes) +
                                      " reports kept and tried again until stored");
    } else {
        worker.backoff = std::min(worker.backoff * 2, limits_.maxRetry);
    }
    worker.retryAt = std::chrono::steady_clock::now() + worker.backoff;
}

}  // namespace perfagent

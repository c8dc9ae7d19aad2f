#include "program/retention.hpp"

#include <exception>

namespace perfagent {

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void pruneBefore(RunStore& store, std::int64_t beforeMs, PruneResult& removed, const std::function<bool()>& next,
                 const PruneBatch& batch) {
    for (;;) {
        const PruneResult batchRemoved = store.prune(beforeMs, nowMs(), batch);
        removed += batchRemoved;
        if (batchRemoved.runs == 0 || !next()) return;
    }
}

std::string removedText(const PruneResult& removed) {
    return std::to_string(removed.runs) + " runs and " + std::to_string(removed.samples) + " samples";
}

Retention::Retention(std::unique_ptr<RunStore> store, int keepDays, Timing timing, Log log)
    : store_(std::move(store)), keepMs_(std::int64_t{keepDays} * 86'400'000), timing_(timing), log_(std::move(log)),
      worker_([this] { work(); }) {}

Retention::~Retention() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

bool Retention::wait(std::chrono::milliseconds delay) {
    MutexLock lock(mutex_);
    return !lock.waitFor(wake_, delay, [this]() REQUIRES(mutex_) { return stopping_; });
}

void Retention::work() {
    const auto next = [this] { return wait(timing_.pause); };
    do {
        const std::int64_t before = nowMs() - keepMs_;
        const std::string older = " last reported more than " + std::to_string(keepMs_ / 86'400'000) + " days ago";
        PruneResult removed;
        try {
            pruneBefore(*store_, before, removed, next);
            if (removed.runs > 0) log_("retention: removed " + removedText(removed) + older);
        } catch (const std::exception& e) {
            const std::string done = removed.runs > 0 ? "removed " + removedText(removed) + older + ", then: " : "";
            log_("retention: " + done + e.what() + "; trying again at the next pass");
        }
    } while (wait(timing_.period));
}

}  // namespace perfagent

#pragma once

#include "base/thread_annotations.hpp"
#include "storage/run_store.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace perfagent {

/// `--keep-days` takes 1 to this many days (100 years).
inline constexpr int kMaxKeepDays = 36'500;

/// Removes batch after batch of the complete runs last reported before `beforeMs` until none is left,
/// adding what each removed to `removed` (so that it holds what was done also when a batch throws); after
/// each batch that removed runs, `next()` is asked whether to go on (it may pause, so that other writers of
/// the database get their turn). Throws what the store throws.
void pruneBefore(RunStore& store, std::int64_t beforeMs, PruneResult& removed, const std::function<bool()>& next,
                 const PruneBatch& batch = {});

/// "N runs and M samples"
std::string removedText(const PruneResult& removed);

/// @brief Keeps the runs of the last `keepDays` days: every `period` (first at once), removes the complete
/// runs last reported earlier, with their rows, in small batches with a pause between them. It works on its
/// own thread and its own connection to the database, so neither the network thread nor the reports'
/// store worker waits for it (SQLite writers queue on the file's lock one transaction at a time).
class Retention {
public:
    /// Called on the retention thread with a line to log: what a pass removed, or why it failed.
    using Log = std::function<void(const std::string&)>;
    struct Timing {
        std::chrono::milliseconds period{std::chrono::hours(1)};
        std::chrono::milliseconds pause{250};  ///< between two batches
    };

    Retention(std::unique_ptr<RunStore> store, int keepDays, Timing timing, Log log);
    /// Stops after the batch under way.
    ~Retention();
    Retention(const Retention&) = delete;
    Retention& operator=(const Retention&) = delete;

private:
    void work();
    /// Waits up to `delay`; false once stopping.
    bool wait(std::chrono::milliseconds delay) EXCLUDES(mutex_);

    std::unique_ptr<RunStore> store_;
    const std::int64_t keepMs_;
    const Timing timing_;
    const Log log_;
    Mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread worker_;
};

}  // namespace perfagent

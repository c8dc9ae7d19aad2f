#pragma once

#include "platform/proc_source.hpp"

#include <cerrno>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace perfagent::testing {

/// @brief A proc source whose every reading and failure the test scripts. CPU tick readings come from a
/// queue (an empty entry fails), then the last again. Every process opened is one process that uses
/// `appShare` percent of one CPU as the clock (`nowNs`) runs, until terminate(); its open handles count in
/// liveHandles().
class FakeProc final : public ProcSource {
public:
    struct Ticks { std::uint64_t user = 0, system = 0, idle = 0, nice = 0; };

    explicit FakeProc(std::function<std::int64_t()> now, double physicalMemory = 4294967296.0)
        : now_(std::move(now)), physicalMemory_(physicalMemory) {}

    void answerOpen(int error) { openError_ = error; }  ///< 0: a new handle
    void terminate() { terminatedBelow_ = nextHandle_; }  ///< the handles made so far answer ESRCH
    std::size_t liveHandles() const { return *live_; }
    void setTicks(Ticks t) { queue_.clear(), ticks_ = t; }  ///< from now on, dropping the queue
    void pushTicks(Ticks t) { queue_.push_back(t); }
    void pushTicksFailure() { queue_.push_back(std::nullopt); }
    void setMeminfo(MeminfoKb kb) { meminfo_ = kb; }

    bool failMemory = false, failProcess = false;
    double appShare = 0;  ///< percent of one CPU the process uses
    std::uint64_t resident = 0;
    std::string root = "/";  ///< where the metric groups read

    double physicalMemory() const override { return physicalMemory_; }
    std::string metricsRoot() const override { return root; }
    std::int64_t nowNs() const override { return now_(); }
    SystemReading readSystem() override {
        const std::optional<Ticks> next = queue_.empty() ? ticks_ : queue_.front();
        if (!queue_.empty()) queue_.pop_front();
        SystemReading out;
        if (next) {
            ticks_ = *next;
            out.ticks = CpuTicks{.user = next->user, .nice = next->nice, .system = next->system, .idle = next->idle};
        }
        if (!failMemory) out.memory = meminfo_;
        out.atNs = now_();
        return out;
    }
    Result<std::unique_ptr<ProcessHandle>> open(ProcessIdentity, bool) override {
        if (openError_ != 0) return systemFailure("refused", openError_);
        return std::unique_ptr<ProcessHandle>(std::make_unique<Handle>(*this));
    }

private:
    struct Handle final : ProcessHandle {
        explicit Handle(FakeProc& p) : proc(p), number(p.nextHandle_++), live(p.live_) { ++*live; }
        ~Handle() override { --*live; }
        Result<ProcessReading> read() override {
            if (number < proc.terminatedBelow_) return systemFailure("exited", ESRCH);
            if (proc.failProcess) return systemFailure("unreadable", EIO);
            const std::int64_t now = proc.now_();
            proc.cpuNs_ += static_cast<std::uint64_t>(std::llround(proc.appShare / 100.0 * static_cast<double>(now - proc.cpuAt_)));
            proc.cpuAt_ = now;
            return ProcessReading{proc.cpuNs_, proc.resident, now};
        }
        FakeProc& proc;
        int number;
        std::shared_ptr<std::size_t> live;
    };

    std::function<std::int64_t()> now_;
    double physicalMemory_;
    int openError_ = 0;
    int nextHandle_ = 0, terminatedBelow_ = 0;
    std::optional<Ticks> ticks_ = Ticks{};
    std::deque<std::optional<Ticks>> queue_;
    MeminfoKb meminfo_{};
    std::uint64_t cpuNs_ = 0;
    std::int64_t cpuAt_ = 0;
    std::shared_ptr<std::size_t> live_ = std::make_shared<std::size_t>(0);
};

}  // namespace perfagent::testing

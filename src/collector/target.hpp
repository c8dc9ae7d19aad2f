#pragma once

#include "platform/platform.hpp"
#include "platform/processes.hpp"
#include "probes/cpu.hpp"

#include <memory>
#include <optional>
#include <string>

namespace perfagent {

/// @brief The process a measurement measures besides the system: a pid or a name (see findProcess),
/// alone or with every descendant.
struct TargetChoice {
    std::string pidOrName;
    bool tree = false;
};

/// The choice that wins: the push payload's, else the page's, else the agent's option (each one only
/// when it names something).
std::optional<TargetChoice> chooseTarget(const std::optional<TargetChoice>& push, const std::optional<TargetChoice>& page,
                                         const std::optional<TargetChoice>& option);

/// @brief Why a target cannot be measured: it names no running process (or the host lists none), or one
/// this user may not read.
struct TargetRefusal {
    enum class Kind { NotFound, NotPermitted };
    Kind kind = Kind::NotFound;
    std::string why;
};

/// Checks that `choice` names a running process `kernel` may read, by opening its task and releasing it
/// at once; the refusal when not. It reads only host proc files, so a thread other than the main one
/// may call it, with a kernel of its own.
std::optional<TargetRefusal> checkTarget(ProcessList* processes, Kernel& kernel, const TargetChoice& choice);

/// @brief One collector's target, read through probes of its own that follow it from one sample to the
/// next (a thread's CPU share is the difference to its previous reading, so the task is kept); the
/// shared probes keep reading the system and the agent. The kernel finds a tree's descendants afresh at
/// every reading.
class ProcessTarget {
public:
    /// Finds the process `choice` names and checks that it may be read; the reason when not.
    static std::optional<ProcessTarget> find(Platform& platform, Kernel& kernel, const TargetChoice& choice,
                                             std::string& whyNot);

    /// Before a sample: true when the target is there to be read. A target chosen by name that has gone
    /// is looked for again, and one console and one log line say when it is back.
    bool begin(Platform& platform);
    /// After the sample's readings: false when they are not the target's. The first time it is found
    /// gone, one console and one log line say so.
    bool end(Platform& platform);
    /// The probes reading the target.
    Probes& probes() { return *probes_; }

    const std::string& name() const { return name_; }
    Pid pid() const { return identity_.pid; }

private:
    ProcessTarget(TargetChoice choice, const ProcessInfo& process, std::unique_ptr<Probes> probes);
    void take(const ProcessInfo& process);
    void lost(Platform& platform);

    TargetChoice choice_;
    bool byName_;
    std::string name_;
    ProcessIdentity identity_;
    bool gone_ = false;
    std::unique_ptr<Probes> probes_;
};

}  // namespace perfagent

#pragma once

#include "platform/platform.hpp"
#include "platform/processes.hpp"
#include "probes/cpu.hpp"

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

/// @brief One collector's target. The probes are shared by every sampler, so the collector points them
/// at its target for the length of one sample (begin … end) and back at the agent afterwards; the
/// descendants of a tree are found afresh at each begin.
class ProcessTarget {
public:
    /// Finds the process `choice` names and checks that it may be read; the reason when not.
    static std::optional<ProcessTarget> find(Platform& platform, Probes& probes, const TargetChoice& choice,
                                             std::string& whyNot);

    /// Points the probes at the target. False when it is gone: the first time, one console and one log
    /// line say so; a target chosen by name is looked for again, and one line says when it is back.
    bool begin(Platform& platform, Probes& probes);
    /// Back to the agent's own task. False when the target exited during the sample's readings.
    bool end(Platform& platform, Probes& probes);

    const std::string& name() const { return name_; }
    Pid pid() const { return identity_.pid; }

private:
    ProcessTarget(TargetChoice choice, const ProcessInfo& process);
    void take(const ProcessInfo& process);
    void lost(Platform& platform);

    TargetChoice choice_;
    bool byName_;
    std::string name_;
    ProcessIdentity identity_;
    bool gone_ = false;
};

}  // namespace perfagent

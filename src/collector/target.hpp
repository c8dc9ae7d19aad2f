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

/// Checks that `choice` names a running process `source` may read, by opening it and closing it at
/// once; the refusal when not. It reads only host proc files, so a thread other than the main one may
/// call it, with a source of its own.
std::optional<TargetRefusal> checkTarget(ProcessList* processes, ProcSource& source, const TargetChoice& choice);

/// @brief One collector's target, read through a meter of its own that follows it from one sample to
/// the next (its CPU share is the difference to its previous reading); the source finds a tree's
/// descendants afresh at every reading.
class ProcessTarget {
public:
    /// Finds the process `choice` names and checks that it may be read; the reason when not.
    static std::optional<ProcessTarget> find(Platform& platform, ProcSource& source, const TargetChoice& choice,
                                             std::string& whyNot);

    /// Before a sample: true when the target is there to be read. A target chosen by name that has gone
    /// is looked for again, and one console and one log line say when it is back.
    bool begin(Platform& platform);
    /// After the sample's reading (`error`: its errno, 0 when read): false when there are no figures of
    /// the target. The first time it is found gone, one console and one log line say so; so does one
    /// line the first time some of its processes are read without kept descriptors.
    bool end(Platform& platform, int error);
    /// The meter reading the target; none once closed.
    ProcessMeter* meter() { return meter_.get(); }
    /// Closes the target's descriptors; its name and pid stay for the reports.
    void close() { meter_.reset(); }

    const std::string& name() const { return name_; }
    Pid pid() const { return identity_.pid; }

private:
    ProcessTarget(ProcSource& source, TargetChoice choice, const ProcessInfo& process, std::unique_ptr<ProcessMeter> meter);
    void take(const ProcessInfo& process, std::unique_ptr<ProcessMeter> meter);
    void lost(Platform& platform);

    ProcSource* source_;
    TargetChoice choice_;
    bool byName_;
    std::string name_;
    ProcessIdentity identity_;
    bool gone_ = false;
    bool saidUnkept_ = false;
    std::unique_ptr<ProcessMeter> meter_;
};

}  // namespace perfagent

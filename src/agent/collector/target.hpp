#pragma once

#include "platform/platform.hpp"
#include "platform/processes.hpp"
#include "base/result.hpp"
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

/// @brief A target found on the host: the choice that named it and the process it named then.
struct ResolvedTarget {
    TargetChoice choice;
    ProcessInfo process;
};

/// @brief Turns the target a start names into the process it measures, where the start is read (the
/// network thread), so that what answers the start is what the main thread then measures. It reads only
/// host proc files, through a proc source that from then on its thread alone may use.
class TargetResolver {
public:
    /// `processes` none: targets are not available on this host. `option` is the agent's --target.
    TargetResolver(ProcessList* processes, ProcSource& source, std::optional<TargetChoice> option)
        : processes_(processes), source_(source), option_(std::move(option)) {}

    /// The target of a start naming `push` or `page` (see chooseTarget, with the agent's option): nothing
    /// when none names one. The Failure says why it cannot be measured: errc::no_such_process when it names
    /// no running process, errc::permission_denied when this user may not read it (also a pid of another
    /// user's that a proc mounted with hidepid hides).
    Result<std::optional<ResolvedTarget>> resolve(const std::optional<TargetChoice>& push,
                                                  const std::optional<TargetChoice>& page = std::nullopt);
    /// The agent's option, resolved: nothing without one.
    Result<std::optional<ResolvedTarget>> resolveOption() { return resolve(std::nullopt); }

private:
    ProcessList* processes_;
    ProcSource& source_;
    std::optional<TargetChoice> option_;
};

/// @brief One collector's target, read through a meter of its own that follows it from one sample to
/// the next (its CPU share is the difference to its previous reading); the source finds a tree's
/// descendants afresh at every reading.
class ProcessTarget {
public:
    /// Follows the process `target` resolved to (no new search: a process that has exited since, or that
    /// this user may not read, is refused).
    static Result<ProcessTarget> follow(ProcSource& source, const ResolvedTarget& target);

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

#pragma once

#include "platform/proc_source.hpp"

#include <boost/system/result.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief One running process as a picker shows it.
struct ProcessInfo {
    ProcessIdentity identity;
    std::string name;         ///< the kernel's name for it (comm, at most 15 bytes)
    std::string commandLine;  ///< its arguments joined by blanks; empty for kernel threads
    std::string user;         ///< the owner's user name, or the uid in decimal when it has none
    std::uint64_t residentBytes = 0;
};

/// @brief Lists the processes running on the host.
class ProcessList {
public:
    virtual ~ProcessList() = default;
    /// The running processes (zombies left out), by pid.
    virtual std::vector<ProcessInfo> processes() = 0;
    /// True when `pidOrName` is the pid of a process that runs but is not listed because it belongs to
    /// another user (a proc mounted with hidepid shows each user only their own).
    virtual bool hiddenFromUs(std::string_view) { return false; }
};

/// @brief The process list of a Linux host, read from a proc file system (tests pass a directory of
/// stored files). A process that exits while it is being read is left out.
class LinuxProcessList final : public ProcessList {
public:
    explicit LinuxProcessList(std::string procRoot = "/proc") : procRoot_(std::move(procRoot)) {}
    std::vector<ProcessInfo> processes() override;
    bool hiddenFromUs(std::string_view pidOrName) override;

private:
    std::string procRoot_;
};

/// The process a target option names: all digits is a pid; anything else a name, matching the
/// kernel's name or the last path part of argv[0], the oldest process when several match.
/// Fails with errc::no_such_process when none does, errc::invalid_argument when `pidOrName` is empty.
boost::system::result<ProcessInfo> findProcess(const std::vector<ProcessInfo>& running, std::string_view pidOrName);

}  // namespace perfagent

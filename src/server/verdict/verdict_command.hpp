#pragma once

#include "base/result.hpp"
#include "verdict/http_get.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// `perfagent-server verdict`'s exit codes.
enum VerdictExit : int {
    kVerdictPassed = 0,        ///< unchanged or improved
    kVerdictRegressed = 1,
    kVerdictBadUsage = 2,
    kVerdictInconclusive = 3,  ///< inconclusive, no baseline, or the run did not complete in time
    kVerdictUnreachable = 4,   ///< the server cannot be reached, or the run is unknown
};

/// @brief The command line of `perfagent-server verdict` (its arguments after "verdict").
struct VerdictCommand {
    ServerUrl server;
    std::optional<std::int64_t> run;
    std::optional<std::string> usecase;  ///< with --latest: its newest run
    std::optional<std::int64_t> baseline;
    std::optional<std::string> baselineBuild;
    std::optional<std::string> budget;
    std::int64_t waitSeconds = 0;  ///< > 0: wait this long for the run to complete first
    bool help = false;
};
Result<VerdictCommand> parseVerdictCommand(const std::vector<std::string>& arguments);

/// Asks the server for the verdict, prints it as a table on stdout (errors on stderr) and answers the
/// exit code.
int runVerdictCommand(const VerdictCommand& command);

/// The verdict JSON as the command prints it, one line per series; an empty text when it is no verdict.
std::string verdictTable(const std::string& verdictJson);

std::string verdictUsageText();

}  // namespace perfagent

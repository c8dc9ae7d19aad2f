#pragma once

#include "base/result.hpp"
#include "program/server_options.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace perfagent {

/// @brief `perfagent-server prune [--database URL] --before DATE`: removes, once, the complete runs last
/// reported before DATE with all their rows.
struct PruneCommand {
    DatabaseUrl database;   ///< the server's default when not given
    std::int64_t beforeMs = 0;
    bool help = false;
    bool version = false;
};

/// Parses the arguments after `prune`; DATE is `yyyy-mm-dd` (its midnight) or `yyyy-mm-ddThh:mm:ss[.fff]Z`,
/// both UTC. XDG_DATA_HOME and HOME give the default database as for the server.
Result<PruneCommand> parsePruneCommand(const std::vector<std::string>& arguments, const char* xdgDataHome,
                                       const char* home);

/// The whole subcommand: parses, prunes in batches and prints what it removed. Exits 0 when done, 1 when
/// the database fails, 2 on a bad command line.
int pruneMain(const std::vector<std::string>& arguments, const char* xdgDataHome, const char* home);

}  // namespace perfagent

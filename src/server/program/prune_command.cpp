#include "program/prune_command.hpp"

#include "base/command_options.hpp"
#include "api/read_api.hpp"
#include "program/retention.hpp"

#include <cstdio>
#include <exception>
#include <thread>

namespace perfagent {

namespace {

constexpr std::string_view kCommand = "perfagent-server prune";

std::string pruneUsageText() {
    return "usage: perfagent-server prune [--database URL] --before DATE\n"
           "\n"
           "Removes the complete runs last reported before DATE (yyyy-mm-dd, or yyyy-mm-ddThh:mm:ssZ; UTC) with\n"
           "their samples, in small transactions, and prints how many runs and samples it removed. A run that\n"
           "had a report in the last 10 seconds is kept. The server may keep running meanwhile.\n"
           "\n"
           "  --database URL   as for the server (default: the server's default database)\n";
}

}  // namespace

Result<PruneCommand> parsePruneCommand(const std::vector<std::string>& arguments, const char* xdgDataHome,
                                       const char* home) {
    PruneCommand command;
    command.database.location = defaultDatabasePath(xdgDataHome, home).string();
    bool before = false;
    CommandOptions walk(arguments);
    while (const auto option = walk.next()) {
        if (option->flag == "--help" || option->flag == "-h") {
            command.help = true;
            continue;
        }
        if (option->flag != "--database" && option->flag != "--before") return failure(walk.unknownOption());
        const auto value = walk.requireValue(*option);
        if (!value) return value.error();
        if (option->flag == "--database") {
            auto database = parseDatabaseUrl(*value);
            if (!database) return database.error();
            command.database = std::move(*database);
            continue;
        }
        const auto at = parseIsoUtc(*value);
        if (!at) return failure("--before: '" + *value + "' is not a date (yyyy-mm-dd or yyyy-mm-ddThh:mm:ssZ, UTC)");
        command.beforeMs = *at;
        before = true;
    }
    if (!before && !command.help) return failure("--before DATE is required (see --help)");
    return command;
}

int pruneMain(const std::vector<std::string>& arguments, const char* xdgDataHome, const char* home) {
    const auto command = parsePruneCommand(arguments, xdgDataHome, home);
    if (const auto status = exitBeforeRun(kCommand, command, pruneUsageText())) return *status;
    PruneResult removed;
    const std::string before = " last reported before " + isoUtc(command->beforeMs);
    try {
        const auto store = openRunStore(command->database);
        // The pause lets a server writing to the same database take its turn between batches.
        pruneBefore(*store, command->beforeMs, removed, [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return true;
        });
        std::printf("%s: removed %s%s\n", std::string(kCommand).c_str(), removedText(removed).c_str(), before.c_str());
        return 0;
    } catch (const std::exception& e) {
        const std::string done = removed.runs > 0 ? "removed " + removedText(removed) + before + ", then: " : "";
        std::fprintf(stderr, "%s: %s%s\n", std::string(kCommand).c_str(), done.c_str(), e.what());
        return 1;
    }
}

}  // namespace perfagent

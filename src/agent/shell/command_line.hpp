#pragma once

#include "report/collection_server.hpp"

#include "http/listen_address.hpp"
#include "base/result.hpp"
#include "probes/metric_groups.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// @brief The agent's settings from its command line.
struct CommandLine {
    CollectionEndpoint collectionServer;
    ListenAddress listen{"127.0.0.1", 8090};
    bool briefConsole = false;  ///< --console brief
    std::size_t keepLogs = 30;  ///< --keep-logs: log files kept at launch, 0 for all
    std::optional<std::filesystem::path> home;       ///< default: defaultHome()
    std::optional<std::filesystem::path> resources;  ///< default: found next to the binary
    std::optional<std::string> target;  ///< --target PID|NAME: measured when a start names none
    bool targetTree = false;            ///< --target-tree: with every descendant
    MetricGroupSet metrics;             ///< --metrics GROUP[,GROUP…]: sampled when a start names none
    bool help = false;
    bool version = false;
};

/// Parses `perfagent [--collection-server HOST[:PORT]] [--listen HOST:PORT] [--home DIR]
/// [--resources DIR] [--console full|brief] [--keep-logs N]
/// [--target PID|NAME] [--target-tree] [--metrics GROUP[,GROUP…]] [--help] [--version]` (also `--flag=value`).
/// Names are not resolved here. A bad command line answers a Failure with a one-line message.
Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

/// The --help text.
std::string usageText();

/// The collection server the program reports to when none is named: the build's setting.
CollectionEndpoint defaultCollectionServer();

/// Where the agent's resources are when --resources does not say: `resources/` beside the binary (build
/// tree), else `../share/perfagent` from the binary (installed).
std::optional<std::filesystem::path> findResources(const std::filesystem::path& executable);

}  // namespace perfagent

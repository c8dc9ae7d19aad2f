#pragma once

#include "report/collection_server.hpp"

#include <boost/asio/ip/address.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// @brief The agent's settings from its command line.
struct CommandLine {
    CollectionEndpoint collectionServer;
    boost::asio::ip::address listenAddress = boost::asio::ip::address_v4::loopback();
    unsigned short listenPort = 8090;
    std::optional<std::filesystem::path> home;       ///< default: defaultHome()
    std::optional<std::filesystem::path> resources;  ///< default: found next to the binary
    std::optional<std::string> target;  ///< --target PID|NAME: measured when a start names none
    bool targetTree = false;            ///< --target-tree: with every descendant
    bool help = false;
    bool version = false;
};

/// Parses `perfagent [--collection-server HOST[:PORT]] [--listen ADDR:PORT] [--home DIR]
/// [--resources DIR] [--target PID|NAME] [--target-tree] [--help] [--version]` (also `--flag=value`). On a bad command line answers
/// nothing and sets `error` to a one-line message.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments, std::string& error);

/// The --help text.
std::string usageText();

/// The collection server the program reports to when none is named: the build's setting.
CollectionEndpoint defaultCollectionServer();

/// Where the agent's resources are when --resources does not say: `resources/` beside the binary (build
/// tree), else `../share/perfagent` from the binary (installed).
std::optional<std::filesystem::path> findResources(const std::filesystem::path& executable);

}  // namespace perfagent

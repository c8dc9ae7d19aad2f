#include "shell/command_line.hpp"

#include "base/command_options.hpp"

#include <charconv>
#include <system_error>

namespace perfagent {

CollectionEndpoint defaultCollectionServer() {
    if (auto endpoint = CollectionEndpoint::parse(PERFAGENT_COLLECTION_HOST)) return *endpoint;
    return CollectionEndpoint{};
}

Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    line.collectionServer = defaultCollectionServer();
    CommandOptions options(arguments);
    while (const auto option = options.next()) {
        const std::string& flag = option->flag;
        if (flag == "--help" || flag == "-h") {
            line.help = true;
            continue;
        }
        if (flag == "--version") {
            line.version = true;
            continue;
        }
        // The target process: measured when neither a push nor the page names one.
        if (flag == "--target-tree") {
            line.targetTree = true;
            continue;
        }
        if (flag == "--target") {
            const auto value = options.takeValue(*option);
            if (!value || value->empty()) return failure("--target needs a pid or a process name (see --help)");
            line.target = *value;
            continue;
        }
        if (flag == "--metrics") {
            const auto value = options.requireValue(*option);
            if (!value) return value.error();
            const auto groups = parseMetricGroups(*value);
            if (!groups) return failure("--metrics: " + groups.error().message);
            line.metrics = *groups;
            continue;
        }
        if (flag != "--collection-server" && flag != "--listen" && flag != "--home" && flag != "--resources" &&
            flag != "--console" && flag != "--keep-logs") {
            return failure(options.unknownOption());
        }
        const auto value = options.requireValue(*option);
        if (!value) return value.error();
        if (flag == "--collection-server") {
            const auto endpoint = CollectionEndpoint::parse(*value);
            if (!endpoint) return failure("--collection-server: '" + *value + "' is not HOST or HOST:PORT");
            line.collectionServer = *endpoint;
        } else if (flag == "--listen") {
            auto listen = parseListenAddress(*value);
            if (!listen) return failure("--listen: '" + *value + "' is not HOST:PORT with a port 1-65535");
            line.listen = std::move(*listen);
        } else if (flag == "--console") {
            if (*value != "full" && *value != "brief") {
                return failure("--console: '" + *value + "' is not full or brief");
            }
            line.briefConsole = *value == "brief";
        } else if (flag == "--keep-logs") {
            const auto end = value->data() + value->size();
            const auto [at, ec] = std::from_chars(value->data(), end, line.keepLogs);
            if (value->empty() || ec != std::errc() || at != end) {
                return failure("--keep-logs: '" + *value + "' is not a whole number");
            }
        } else if (value->empty()) {
            return failure(flag + " needs a directory");
        } else if (flag == "--home") {
            line.home = *value;
        } else {
            line.resources = *value;
        }
    }
    return line;
}

std::string usageText() {
    return "usage: perfagent [--collection-server HOST[:PORT]] [--listen HOST:PORT] [--home DIR] [--resources DIR]\n"
           "                 [--console full|brief] [--keep-logs N]\n"
           "                 [--target PID|NAME] [--target-tree] [--metrics GROUP[,GROUP...]]\n"
           "       perfagent --help | --version\n"
           "\n"
           "Samples this machine's CPU and memory once per second while a measurement runs and posts each\n"
           "measurement report to a collection server. Measurements are started and stopped by pushes to\n"
           "POST /remote-notification and from the operator page, both on the listener.\n"
           "\n"
           "  --collection-server HOST[:PORT]  where reports go (default " PERFAGENT_COLLECTION_HOST
           ", port 8089 when omitted)\n"
           "  --listen HOST:PORT               operator page and push endpoint (default 127.0.0.1:8090)\n"
           "  --home DIR                       device token and log files (default\n"
           "                                   ${XDG_DATA_HOME:-$HOME/.local/share}/perfagent)\n"
           "  --resources DIR                  Main.html and 3.wav (default: found beside the binary)\n"
           "  --target PID|NAME                the process measured besides the system when a start names none\n"
           "  --target-tree                    the target with every descendant process\n"
           "  --metrics GROUP[,GROUP...]       more series in every measurement a start does not choose for:\n"
           "                                   memory (MemoryAvailable, SwapUsed MB), load (LoadAverage,\n"
           "                                   RunQueue), net (NetworkIn/Out KB/s), disk (DiskRead/Write KB/s),\n"
           "                                   thermal (Temperature C), power (PowerPackage, PowerBattery W),\n"
           "                                   gpu (GPUBusy %), app (AppThreads, AppFileDescriptors, AppRead/\n"
           "                                   Write KB/s of the target); a group this machine lacks is said\n"
           "                                   once and left out\n"
           "  --console full|brief             full (default): every readout, series and report text; brief: one\n"
           "                                   line per sample instead\n"
           "  --keep-logs N                    log files kept in DIR/Documents, this launch's included (default 30;\n"
           "                                   0 keeps all)\n"
           "Host names are resolved at start; one that does not resolve ends the agent with status 2.\n"
           "\n"
           "Signals: SIGTERM/SIGINT/SIGHUP end the agent; SIGUSR1/SIGUSR2 report an audio interruption that\n"
           "began/ended; SIGCONT after a stop tells the agent whether it is in the background.\n";
}

std::optional<std::filesystem::path> findResources(const std::filesystem::path& executable) {
    const auto directory = executable.parent_path();
    std::error_code ec;
    for (const auto& candidate : {directory / "resources", directory / ".." / "share" / "perfagent"}) {
        if (std::filesystem::is_regular_file(candidate / "Main.html", ec)) return candidate.lexically_normal();
    }
    return std::nullopt;
}

}  // namespace perfagent

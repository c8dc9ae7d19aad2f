#include "shell/command_line.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>
#include <system_error>

namespace perfagent {

namespace {

std::optional<unsigned short> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value == 0 ||
        value > 65535)
        return std::nullopt;
    return static_cast<unsigned short>(value);
}

/// "ADDR:PORT" or "[v6]:PORT" with a numeric address.
bool parseListen(std::string_view text, CommandLine& out) {
    std::string_view address, port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos) return false;
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address(std::string(address), ec);
    const auto number = parsePort(port);
    if (ec || !number) return false;
    out.listenAddress = parsed;
    out.listenPort = *number;
    return true;
}

}  // namespace

CollectionEndpoint defaultCollectionServer() {
    if (auto endpoint = CollectionEndpoint::parse(PERFAGENT_COLLECTION_HOST)) return *endpoint;
    return CollectionEndpoint{};
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments, std::string& error) {
    CommandLine line;
    line.collectionServer = defaultCollectionServer();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string flag = arguments[i];
        std::optional<std::string> value;
        if (const auto equals = flag.find('='); flag.starts_with("--") && equals != std::string::npos) {
            value = flag.substr(equals + 1);
            flag.resize(equals);
        }
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
            if (!value && i + 1 < arguments.size()) value = arguments[++i];
            if (!value || value->empty()) {
                error = "--target needs a pid or a process name (see --help)";
                return std::nullopt;
            }
            line.target = *value;
            continue;
        }
        if (flag != "--collection-server" && flag != "--listen" && flag != "--home" && flag != "--resources") {
            error = "unknown option '" + arguments[i] + "' (see --help)";
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                error = "option " + flag + " needs a value (see --help)";
                return std::nullopt;
            }
            value = arguments[++i];
        }
        if (flag == "--collection-server") {
            const auto endpoint = CollectionEndpoint::parse(*value);
            if (!endpoint) {
                error = "--collection-server: '" + *value + "' is not HOST or HOST:PORT";
                return std::nullopt;
            }
            line.collectionServer = *endpoint;
        } else if (flag == "--listen") {
            if (!parseListen(*value, line)) {
                error = "--listen: '" + *value + "' is not ADDR:PORT with a numeric address and a port 1-65535";
                return std::nullopt;
            }
        } else if (value->empty()) {
            error = flag + " needs a directory";
            return std::nullopt;
        } else if (flag == "--home") {
            line.home = *value;
        } else {
            line.resources = *value;
        }
    }
    return line;
}

std::string usageText() {
    return "usage: perfagent [--collection-server HOST[:PORT]] [--listen ADDR:PORT] [--home DIR] [--resources DIR]\n"
           "                 [--target PID|NAME] [--target-tree]\n"
           "       perfagent --help | --version\n"
           "\n"
           "Samples this machine's CPU and memory once per second while a measurement runs and posts each\n"
           "measurement report to a collection server. Measurements are started and stopped by pushes to\n"
           "POST /remote-notification and from the operator page, both on the listener.\n"
           "\n"
           "  --collection-server HOST[:PORT]  where reports go (default " PERFAGENT_COLLECTION_HOST
           ", port 8089 when omitted)\n"
           "  --listen ADDR:PORT               operator page and push endpoint (default 127.0.0.1:8090)\n"
           "  --home DIR                       device token and log files (default\n"
           "                                   ${XDG_DATA_HOME:-$HOME/.local/share}/perfagent)\n"
           "  --resources DIR                  Main.html and 3.wav (default: found beside the binary)\n"
           "  --target PID|NAME                the process measured besides the system when a start names none\n"
           "  --target-tree                    the target with every descendant process\n"
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

#include "program/server_options.hpp"

#include "base/command_options.hpp"
#include "os/files.hpp"
#include "program/retention.hpp"

#include <charconv>

namespace perfagent {

namespace {

bool validPostgresAuthority(std::string_view authority) {
    const auto at = authority.rfind('@');
    std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (at == 0) return false;  // "@host": an empty user name
    if (const auto colon = host.rfind(':'); colon != std::string_view::npos && !host.ends_with(']')) {
        const std::string_view port = host.substr(colon + 1);
        unsigned number = 0;
        const auto result = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || result.ec != std::errc() || result.ptr != port.data() + port.size() || number == 0 ||
            number > 65535)
            return false;
        host = host.substr(0, colon);
    }
    return !host.empty();
}

}  // namespace

Result<DatabaseUrl> parseDatabaseUrl(std::string_view url) {
    if (url.starts_with("sqlite://")) {
        const std::string_view path = url.substr(9);
        if (path.empty() || path.front() != '/')
            return failure("--database: '" + std::string(url) + "' is not sqlite:///absolute/path");
        return DatabaseUrl{DatabaseUrl::Kind::Sqlite, std::string(path)};
    }
    for (const std::string_view scheme : {"postgresql://", "postgres://"}) {
        if (!url.starts_with(scheme)) continue;
        const std::string_view rest = url.substr(scheme.size());
        const auto slash = rest.find('/');
        const std::string_view database =
            slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1, rest.find('?') - slash - 1);
        if (slash == std::string_view::npos || !validPostgresAuthority(rest.substr(0, slash)) || database.empty())
            return failure("--database: '" + std::string(url) + "' is not postgresql://user@host[:port]/database");
        return DatabaseUrl{DatabaseUrl::Kind::Postgres, std::string(url)};
    }
    return failure("--database: '" + std::string(url) + "' is neither sqlite:///path nor postgresql://user@host/database");
}

std::unique_ptr<RunStore> openRunStore(const DatabaseUrl& url) {
    if (url.kind == DatabaseUrl::Kind::Postgres) return openPostgresRunStore(url.location);
    std::error_code ignored;  // a directory that cannot be made shows in the database's own error
    std::filesystem::create_directories(std::filesystem::path(url.location).parent_path(), ignored);
    return openSqliteRunStore(url.location);
}

std::filesystem::path defaultDatabasePath(const char* xdgDataHome, const char* home) {
    // The agent's home is <data home>/perfagent; the server keeps its data beside it.
    return defaultHome(xdgDataHome, home).parent_path() / "perfagent-server" / "perfagent.sqlite3";
}

Result<ServerOptions> parseServerCommandLine(const std::vector<std::string>& arguments, const char* xdgDataHome,
                                             const char* home) {
    ServerOptions options;
    options.database.location = defaultDatabasePath(xdgDataHome, home).string();
    CommandOptions walk(arguments);
    while (const auto option = walk.next()) {
        const std::string& flag = option->flag;
        if ((flag == "--help" || flag == "-h" || flag == "--version") && !option->value) {
            (flag == "--version" ? options.version : options.help) = true;
            continue;
        }
        if (flag != "--listen" && flag != "--database" && flag != "--ui" && flag != "--resources" &&
            flag != "--budget" && flag != "--trusted-proxy" && flag != "--allow-host" &&
            flag != "--keep-days") {
            return failure(walk.unknownOption());
        }
        const auto value = walk.requireValue(*option);
        if (!value) return value.error();
        if (flag == "--resources") {
            options.resources = *value;
            continue;
        }
        if (flag == "--budget") {
            auto budgets = parseBudgets(*value);
            if (!budgets) return failure("--budget: " + budgets.error().message);
            options.budgets = std::move(*budgets);
            continue;
        }
        if (flag == "--trusted-proxy") {
            const auto range = parseAddressRange(*value);
            if (!range) return failure("--trusted-proxy: '" + *value + "' is not ADDR or ADDR/BITS (IPv4 /0-32, IPv6 /0-128)");
            options.trustedProxies.push_back(*range);
            continue;
        }
        if (flag == "--allow-host") {
            if (!isValidHost(*value) || value->find(':') != std::string::npos)
                return failure("--allow-host: '" + *value + "' is not a host name (no port)");
            options.allowedHosts.push_back(*value);
            continue;
        }
        if (flag == "--keep-days") {
            int days = 0;
            const auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), days);
            if (ec != std::errc() || end != value->data() + value->size() || days < 1 || days > kMaxKeepDays)
                return failure("--keep-days: '" + *value + "' is not a number of days from 1 to " + std::to_string(kMaxKeepDays));
            options.keepDays = days;
            continue;
        }
        if (flag == "--database") {
            auto database = parseDatabaseUrl(*value);
            if (!database) return database.error();
            options.database = std::move(*database);
            continue;
        }
        auto address = parseListenAddress(*value);
        if (!address) return failure(flag + ": '" + *value + "' is not HOST:PORT with a port 1-65535");
        (flag == "--listen" ? options.listen : options.ui.emplace()) = std::move(*address);
    }
    return options;
}

std::optional<std::filesystem::path> findServerResources(const std::filesystem::path& executable) {
    const auto directory = executable.parent_path();
    std::error_code ec;
    for (const auto& candidate : {directory / "resources" / "server", directory / ".." / "share" / "perfagent-server"}) {
        if (std::filesystem::is_regular_file(candidate / "index.html", ec)) return candidate.lexically_normal();
    }
    return std::nullopt;
}

std::string serverUsageText() {
    return "usage: perfagent-server [--listen HOST:PORT] [--database URL] [--ui HOST:PORT] [--resources DIR]\n"
           "                        [--budget LIST] [--trusted-proxy ADDR[/BITS]]... [--allow-host NAME]...\n"
           "                        [--keep-days N]\n"
           "       perfagent-server prune [--database URL] --before DATE\n"
           "       perfagent-server verdict --server URL (--run ID | --usecase NAME --latest)\n"
           "                        [--baseline ID | --baseline-build X] [--budget LIST] [--wait SECONDS]\n"
           "       perfagent-server --help | --version\n"
           "\n"
           "Receives the measurement reports, test pings and device tokens of perfagent agents, derives their\n"
           "runs and stores them, and serves them to read and compare.\n"
           "\n"
           "  --listen HOST:PORT   where the agents' requests arrive (default 127.0.0.1:8089)\n"
           "  --database URL       sqlite:///path/to/file or postgresql://user@host[:port]/database\n"
           "                       (default sqlite://${XDG_DATA_HOME:-$HOME/.local/share}/perfagent-server/perfagent.sqlite3)\n"
           "  --ui HOST:PORT       serve the read API and pages here instead of on --listen\n"
           "  --resources DIR      the pages' directory (default: found beside the binary)\n"
           "  --budget LIST        verdicts' budgets where a request names none, as CPU:+10%,AppMemory:+20MB,+5%\n"
           "                       (default +10% for every series)\n"
           "  --trusted-proxy ADDR[/BITS]\n"
           "                       a reverse proxy (or block of them) whose X-Forwarded-For or Forwarded\n"
           "                       header names the agent; repeatable\n"
           "  --allow-host NAME    a name the pages and read API may be opened by, besides the listening\n"
           "                       address and localhost; repeatable\n"
           "  --keep-days N        remove the complete runs last reported more than N days ago (1-36500),\n"
           "                       with their samples, hourly and at start (default: keep every run)\n"
           "  --help, --version\n"
           "\n"
           "prune removes, once, the complete runs of the database last reported before DATE (yyyy-mm-dd or\n"
           "yyyy-mm-ddThh:mm:ssZ, UTC) and prints how many runs and samples it removed.\n"
           "\n"
           "SIGTERM and SIGINT end the server once the reports it has accepted are stored.\n";
}

}  // namespace perfagent

#pragma once

#include "http/listen_address.hpp"
#include "base/result.hpp"
#include "verdict/budget.hpp"
#include "api/trusted_proxies.hpp"
#include "storage/run_store.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief Which database the server keeps its runs in.
struct DatabaseUrl {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    std::string location;  ///< SQLite: the file's path; PostgreSQL: the URL as given, for libpq
    bool operator==(const DatabaseUrl&) const = default;
};

/// `sqlite:///path/to/file` or `postgresql://user@host[:port]/db[?options]` (also `postgres://`).
Result<DatabaseUrl> parseDatabaseUrl(std::string_view url);

/// Opens the store the URL names; throws std::runtime_error when it cannot.
std::unique_ptr<RunStore> openRunStore(const DatabaseUrl& url);

/// @brief perfagent-server's settings from its command line.
struct ServerOptions {
    ListenAddress listen{"127.0.0.1", 8089};  ///< where the agents' requests arrive (the agent's default)
    DatabaseUrl database;
    std::optional<ListenAddress> ui;  ///< where the read API and pages are served; absent: on `listen`
    std::optional<std::filesystem::path> resources;  ///< the pages' directory; absent: found beside the binary
    BudgetSet budgets;  ///< verdicts' budgets where a request names none (`--budget`)
    std::vector<AddressRange> trustedProxies;  ///< whose X-Forwarded-For / Forwarded names the device
    std::vector<std::string> allowedHosts;     ///< names the pages' Host check takes besides the address
    std::optional<int> keepDays;  ///< complete runs last reported longer ago are removed; absent: all kept
    bool help = false;
    bool version = false;
};

/// The default database: `${XDG_DATA_HOME:-$HOME/.local/share}/perfagent-server/perfagent.sqlite3`, from
/// the given values of XDG_DATA_HOME and HOME (null when unset).
std::filesystem::path defaultDatabasePath(const char* xdgDataHome, const char* home);

/// Parses `perfagent-server [--listen HOST:PORT] [--database URL] [--ui HOST:PORT] [--resources DIR]
/// [--budget LIST] [--trusted-proxy ADDR[/BITS]]... [--allow-host NAME]... [--keep-days N] [--help] [--version]`
/// (also `--flag=value`). A bad command line answers a Failure with a one-line message (the program then
/// exits 2).
Result<ServerOptions> parseServerCommandLine(const std::vector<std::string>& arguments, const char* xdgDataHome,
                                             const char* home);

/// The pages' directory beside the binary at `executable`: `resources/server` in the build tree, or
/// `../share/perfagent-server` when installed; nothing when neither holds index.html.
std::optional<std::filesystem::path> findServerResources(const std::filesystem::path& executable);

/// The --help text.
std::string serverUsageText();

}  // namespace perfagent

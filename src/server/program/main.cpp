// perfagent-server: the collection server's process entry.

#include "base/command_options.hpp"
#include "os/diagnostics.hpp"
#include "os/files.hpp"
#include "http/http_server.hpp"
#include "os/signals.hpp"
#include "base/thread_annotations.hpp"
#include "ingest/ingest_queue.hpp"
#include "program/prune_command.hpp"
#include "program/retention.hpp"
#include "api/server_metrics.hpp"
#include "program/server_options.hpp"
#include "api/server_routes.hpp"
#include "verdict/verdict_command.hpp"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace perfagent {
namespace {

constexpr std::string_view kProgram = "perfagent-server";

/// Each agent keeps its upload connection open, so the agents' listener holds one socket per agent.
constexpr std::size_t kMaxAgentConnections = 4000;
/// Store workers, each with a connection of its own, on PostgreSQL.
constexpr std::size_t kPostgresWorkers = 4;
/// Report bodies held at once while they arrive, across all agents: four of the largest (128 MiB).
constexpr std::size_t kAgentBodyBudget = 4 * kMaxReportBody;

/// Raises the open-file limit to what the agents' connections need, as far as the hard limit allows.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = kMaxAgentConnections + 256;
    if (limit.rlim_cur >= wanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

struct Endpoints {
    boost::asio::ip::tcp::endpoint agents;
    std::optional<boost::asio::ip::tcp::endpoint> ui;
};

/// The listeners' endpoints, their names resolved; the Failure names the flag whose host does not resolve.
Result<Endpoints> resolveEndpoints(const ServerOptions& options) {
    const auto resolve = [](const ListenAddress& at, const char* flag) -> Result<boost::asio::ip::tcp::endpoint> {
        const auto address = resolveHost(at.host);
        if (!address) return failure(std::string(flag) + ": cannot resolve " + address.error().message);
        return boost::asio::ip::tcp::endpoint{*address, at.port};
    };
    Endpoints endpoints;
    const auto agents = resolve(options.listen, "--listen");
    if (!agents) return agents.error();
    endpoints.agents = *agents;
    if (options.ui) {
        const auto ui = resolve(*options.ui, "--ui");
        if (!ui) return ui.error();
        endpoints.ui = *ui;
    }
    return endpoints;
}

int run(const ServerOptions& options, const Endpoints& endpoints, const ServerPages& pages) {
    Diagnostics diagnostics({}, {}, std::string(kProgram));
    const std::string database = options.database.kind == DatabaseUrl::Kind::Sqlite
                                     ? "sqlite://" + options.database.location
                                     : std::string("PostgreSQL");  // the URL may hold a password
    // SQLite takes one writer at a time; PostgreSQL stores several devices' reports at once, one
    // connection per worker.
    const std::size_t workers = options.database.kind == DatabaseUrl::Kind::Sqlite ? 1 : kPostgresWorkers;
    std::vector<std::unique_ptr<RunStore>> stores;
    try {
        while (stores.size() < workers) stores.push_back(openRunStore(options.database));
    } catch (const std::exception& e) {
        diagnostics.line(std::string(kProgram) + ": cannot open the database " + database + ": " + e.what());
        return 1;
    }
    diagnostics.line(std::string(kProgram) + ": runs stored in " + database);
    ServerMetrics metrics;
    IngestQueue queue(std::move(stores), {}, [&diagnostics, &metrics](std::string_view kind, const std::string& line) {
        if (kind != "store available") metrics.databaseError();
        diagnostics.repeated(kind, std::string(kProgram) + ": " + line);
    });

    // Retention has its own connection, so that its batches never wait in the reports' queue.
    std::optional<Retention> retention;
    if (options.keepDays) {
        try {
            retention.emplace(openRunStore(options.database), *options.keepDays, Retention::Timing{},
                              [&diagnostics](const std::string& line) { diagnostics.line(std::string(kProgram) + ": " + line); });
        } catch (const std::exception& e) {
            diagnostics.line(std::string(kProgram) + ": cannot open the database " + database + ": " + e.what());
            return 1;
        }
    }

    const TrustedProxies proxies(options.trustedProxies);
    const ReadSettings readSettings{options.allowedHosts, metrics, options.budgets};
    std::vector<HttpRoute> agentRoutes = ingestRoutes(queue, proxies, metrics);
    std::vector<HttpRoute> uiRoutes = readRoutes(queue, pages, readSettings);
    if (!options.ui) agentRoutes.insert(agentRoutes.end(), uiRoutes.begin(), uiRoutes.end());
    const auto countRefusal = [&metrics](std::string_view route, const HttpRefusal& refusal) {
        if (route == "report") metrics.reportRefused(refusal.status);
    };
    HttpServer agents(endpoints.agents, std::move(agentRoutes), diagnostics, std::string(kProgram),
                      {.maxConnections = kMaxAgentConnections, .bodyBudget = kAgentBodyBudget}, countRefusal);
    std::optional<HttpServer> ui;
    if (options.ui) ui.emplace(*endpoints.ui, std::move(uiRoutes), diagnostics, std::string(kProgram));
    for (HttpServer* listener : {&agents, ui ? &*ui : nullptr}) {
        if (!listener) continue;
        const auto& endpoint = listener == &agents ? endpoints.agents : *endpoints.ui;
        if (const auto started = listener->start(); !started) {
            diagnostics.line(std::string(kProgram) + ": cannot listen on " +
                             authorityText(endpoint.address(), endpoint.port()) + ": " + started.error().message);
            return 1;
        }
    }
    diagnostics.line(std::string(kProgram) + ": listening for agents on http://" + agents.authority());
    diagnostics.line(std::string(kProgram) + ": runs and pages on http://" + (ui ? ui->authority() : agents.authority()) +
                     "/");

    // The main thread has nothing else to do: it waits for a signal to end.
    Mutex mutex;
    std::condition_variable ended;
    bool ending = false;
    const auto end = [&] {
        MutexLock lock(mutex);
        ending = true;
        ended.notify_one();
    };
    {
        SignalWatcher signals({{SIGTERM, end}, {SIGINT, end}, {SIGHUP, end}});
        MutexLock lock(mutex);
        lock.wait(ended, [&] { return ending; });
    }
    diagnostics.line(std::string(kProgram) + ": ending; storing the reports already accepted");
    queue.stop();  // stores what it holds while the listeners still send the answers
    agents.stop();
    if (ui) ui->stop();
    return 0;
}

}  // namespace
}  // namespace perfagent

int main(int argc, char** argv) {
    using namespace perfagent;
    openStandardDescriptors();
    prepareProcessSignals();
    if (argc > 1 && std::string_view(argv[1]) == "prune")
        return pruneMain(std::vector<std::string>(argv + 2, argv + argc), std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (argc > 1 && std::string_view(argv[1]) == "verdict") {
        const auto command = parseVerdictCommand(std::vector<std::string>(argv + 2, argv + argc));
        if (!command) {
            std::fprintf(stderr, "perfagent-server verdict: %s\n", command.error().message.c_str());
            return kVerdictBadUsage;
        }
        if (command->help) return std::fputs(verdictUsageText().c_str(), stdout), 0;
        return runVerdictCommand(*command);
    }
    const auto options = parseServerCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                                std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (const auto status = exitBeforeRun(kProgram, options, serverUsageText())) return *status;
    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    const auto resources = options->resources ? options->resources : findServerResources(executable);
    if (!resources) {
        std::fprintf(stderr, "perfagent-server: cannot find the pages (index.html) beside the binary; "
                             "name their directory with --resources DIR\n");
        return 2;
    }
    const auto pages = loadServerPages(*resources);
    if (!pages) {
        std::fprintf(stderr, "perfagent-server: cannot read %s\n", pages.error().message.c_str());
        return 2;
    }
    const auto endpoints = resolveEndpoints(*options);
    if (!endpoints) {
        std::fprintf(stderr, "perfagent-server: %s\n", endpoints.error().message.c_str());
        return 2;
    }
    raiseOpenFileLimit();
    return run(*options, *endpoints, *pages);
}

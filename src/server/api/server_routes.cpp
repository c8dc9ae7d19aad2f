#include "api/server_routes.hpp"

#include "os/files.hpp"
#include "api/read_api.hpp"
#include "ingest/report_parser.hpp"
#include "verdict/trend.hpp"
#include "verdict/verdict_api.hpp"
#include "api/server_metrics.hpp"

#include <chrono>
#include <memory>
#include <span>

namespace perfagent {

namespace {

constexpr std::string_view kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string_view queryOf(const HttpServerRequest& request) {
    const std::string_view target = request.target;
    const auto mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

bool blank(std::string_view body) { return body.find_first_not_of(" \t\r\n") == std::string_view::npos; }

/// What a client that may try again is told: the store's trouble is expected to pass.
constexpr std::string_view kRetryAfterSeconds = "5";

/// Answers that the work was not done: 503 with Retry-After while the store cannot take it, else `status`.
void refuseStoreWork(const HttpResponder& responder, unsigned status, std::string_view reason) {
    if (status != 503) return responder.refuse({status, std::string(reason)});
    responder.answer({.status = 503, .body = std::string(reason) + "\n", .contentType = "text/plain; charset=utf-8",
                      .headers = {{"Retry-After", std::string(kRetryAfterSeconds)}}});
}

/// Hands a read to a store worker, which answers when it has run; a full queue answers 503 (logged,
/// rate-limited, by the route's name), an unavailable store 503 with Retry-After.
void queue(IngestQueue& queue, const HttpResponder& responder, IngestJob job) {
    job.refuse = [responder](unsigned status, std::string_view reason) { refuseStoreWork(responder, status, reason); };
    const auto pushed = queue.tryPush(std::move(job));
    if (pushed == IngestQueue::Push::Full) responder.refuse({503, "store queue full"});
    if (pushed == IngestQueue::Push::Unavailable) refuseStoreWork(responder, 503, "the store is unavailable");
}
void queue(IngestQueue& store, const HttpResponder& responder, std::function<void(RunStore&)> run) {
    queue(store, responder, IngestJob{.run = std::move(run)});
}

// ---- ingest ---------------------------------------------------------------------------------------------

/// The agent sends neither Origin nor Sec-Fetch-Site: a request that carries them comes from a web page
/// (a form, a no-cors fetch) that must not write runs. A report must say it is JSON, which a form cannot;
/// the device token comes without a Content-Type, or with JSON's.
std::optional<HttpRefusal> admitAgent(const HttpServerRequest& request, bool typeRequired) {
    if (request.header("Origin")) return HttpRefusal{403, "sent by a web page"};
    if (const auto site = request.header("Sec-Fetch-Site"); site && *site != "none")
        return HttpRefusal{403, "sent by a web page"};
    const auto type = request.header("Content-Type");
    if (type ? !isJsonContentType(*type) : typeRequired) return HttpRefusal{415, "not JSON"};
    return std::nullopt;
}

void ingestReport(IngestQueue& store, const TrustedProxies& proxies, ServerMetrics& metrics, HttpServerRequest&& request,
                  HttpResponder responder) {
    if (blank(request.body)) return responder.answer({.status = 204});
    auto parsed = parseReport(std::move(request.body));
    if (!parsed) return responder.refuse({400, parsed.error().message});
    auto report = std::make_shared<IncomingReport>(std::move(*parsed));
    const std::size_t bytes = report->heldBytes();
    // Answered once committed, from the store's worker: a 200 means the report is stored. The store work
    // may run again when its transaction is rolled back; what it found is kept for the answer.
    auto device = proxies.clientOf(request);
    const std::int64_t at = nowMs();
    auto outcome = std::make_shared<std::pair<IngestResult, std::chrono::steady_clock::duration>>();
    queue(store, responder,
          {.run = [report, device, at, outcome](RunStore& runs) {
               const auto started = std::chrono::steady_clock::now();
               outcome->first = runs.ingest(device, *report, at);
               outcome->second = std::chrono::steady_clock::now() - started;
           },
           .stored = [outcome, at, responder, &metrics] {
               metrics.reportStored(outcome->second);
               metrics.runReported(outcome->first.runId, at);
               metrics.reportAccepted();
               responder.answer({.status = 200});
           },
           .write = true, .bytes = bytes, .key = std::move(device)});
}

void ingestDeviceToken(IngestQueue& store, const TrustedProxies& proxies, HttpServerRequest&& request,
                       HttpResponder responder) {
    auto token = parseDeviceToken(request.body);
    if (!token) return responder.refuse({400, token.error().message});
    const std::size_t bytes = token->size();
    auto device = proxies.clientOf(request);
    queue(store, responder,
          {.run = [token = std::move(*token), device, at = nowMs()](RunStore& runs) { runs.recordDeviceToken(device, token, at); },
           .stored = [responder] { responder.answer({.status = 200}); },
           .write = true, .bytes = bytes, .key = std::move(device)});
}

// ---- reads ----------------------------------------------------------------------------------------------

/// Pages and API answer same-origin browsers only, opened by the server's address, localhost or a name
/// given with --allow-host (a DNS name rebound to this machine is refused): a foreign Host or Origin, or a
/// fetch the browser itself marks as cross-site (a GET from another site carries no Origin), is refused.
/// curl sends neither Origin nor Sec-Fetch-Site.
std::optional<HttpRefusal> admitSameOrigin(const HttpServerRequest& request, std::span<const std::string> allowedHosts) {
    if (!isOwnAuthority(request.header("Host").value_or(""), request, allowedHosts))
        return HttpRefusal{403, "foreign host: open this server by its address or localhost, or start it with "
                                "--allow-host NAME for each name it is opened by"};
    if (request.header("Sec-Fetch-Site").value_or("") == "cross-site") return HttpRefusal{403, "cross-site request"};
    if (const auto origin = request.header("Origin")) {
        constexpr std::string_view scheme = "http://";
        if (!origin->starts_with(scheme) || !isOwnAuthority(origin->substr(scheme.size()), request, allowedHosts))
            return HttpRefusal{403, "foreign origin"};
    }
    return std::nullopt;
}

HttpRoute readRoute(std::string path, bool prefix, const std::vector<std::string>& allowedHosts,
                    std::function<void(HttpServerRequest&&, HttpResponder)> handle) {
    return {.method = "GET", .path = std::move(path), .prefix = prefix, .bodyLimit = 0, .name = "read",
            .admit = [&allowedHosts](const HttpServerRequest& request) { return admitSameOrigin(request, allowedHosts); },
            .handle = std::move(handle)};
}

HttpServerResponse json(std::string body) {
    return {.body = std::move(body), .contentType = "application/json",
            .headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}}};
}

void listRuns(IngestQueue& store, HttpServerRequest&& request, HttpResponder responder) {
    const auto filter = parseRunsQuery(queryOf(request));
    if (!filter) return responder.refuse({400, filter.error().message});
    queue(store, responder, [filter = *filter, responder](RunStore& runs) {
        const std::vector<RunInfo> found = runs.listRuns(filter);
        // A full page may have older runs after it: the cursor is its last (oldest) id.
        const std::string next = std::ssize(found) == filter.limit ? std::to_string(found.back().id) : "null";
        responder.answer(json("{\"runs\":" + runsJson(found, nowMs()) + ",\"next\":" + next + "}"));
    });
}

/// `/api/runs/{id}/verdict`: the store is read and the statistics computed on the store's worker.
void runVerdict(IngestQueue& store, std::int64_t id, const HttpServerRequest& request, HttpResponder responder,
                const BudgetSet& serverBudgets) {
    auto query = parseVerdictQuery(queryOf(request));
    if (!query) return responder.refuse({400, query.error().message});
    queue(store, responder, [id, query = std::move(*query), responder, &serverBudgets](RunStore& runs) {
        auto answer = verdictAnswer(runs, id, query, serverBudgets, nowMs());
        if (answer.status != 200) return responder.refuse({answer.status, std::move(answer.body)});
        responder.answer(json(std::move(answer.body)));
    });
}

/// `/api/runs/{id}`, `/api/runs/{id}/samples.csv` and `/api/runs/{id}/verdict`.
void oneRun(IngestQueue& store, HttpServerRequest&& request, HttpResponder responder, const BudgetSet& serverBudgets) {
    std::string_view rest = request.path().substr(std::string_view("/api/runs/").size());
    if (rest.ends_with("/verdict")) {
        const auto id = parseRunId(rest.substr(0, rest.size() - std::string_view("/verdict").size()));
        if (!id) return responder.refuse({404, "no such run"});
        return runVerdict(store, *id, request, std::move(responder), serverBudgets);
    }
    constexpr std::string_view csvSuffix = "/samples.csv";
    const bool csv = rest.ends_with(csvSuffix);
    if (csv) rest.remove_suffix(csvSuffix.size());
    const auto id = parseRunId(rest);
    if (!id) return responder.refuse({404, "no such run"});
    queue(store, responder, [id = *id, csv, responder](RunStore& runs) {
        const auto run = runs.run(id);
        if (!run) return responder.refuse({404, "no such run"});
        if (!csv) return responder.answer(json(runJson(*run, nowMs())));
        responder.answer({.body = samplesCsv(*run), .contentType = "text/csv; charset=utf-8",
                          .headers = {{"Content-Disposition",
                                       "attachment; filename=\"run-" + std::to_string(id) + ".csv\""},
                                      {"Cache-Control", "no-store"}}});
    });
}

void compareRuns(IngestQueue& store, HttpServerRequest&& request, HttpResponder responder) {
    const auto ids = parseCompareQuery(queryOf(request));
    if (!ids) return responder.refuse({400, ids.error().message});
    queue(store, responder, [ids = *ids, responder](RunStore& runs) {
        std::vector<RunDetail> details;
        for (const std::int64_t id : ids) {
            auto run = runs.run(id);
            if (!run) return responder.refuse({404, "no such run: " + std::to_string(id)});
            details.push_back(std::move(*run));
        }
        responder.answer(json(compareJson(details, nowMs())));
    });
}

/// `/api/trend?usecase=…`: every run's verdict is computed on the store's worker.
void trend(IngestQueue& store, HttpServerRequest&& request, HttpResponder responder, const BudgetSet& serverBudgets) {
    auto query = parseTrendQuery(queryOf(request));
    if (!query) return responder.refuse({400, query.error().message});
    queue(store, responder, [query = std::move(*query), responder, &serverBudgets](RunStore& runs) {
        responder.answer(json(trendJson(runs, query, serverBudgets, nowMs())));
    });
}

std::string contentTypeOf(const std::filesystem::path& name) {
    const std::string extension = name.extension().string();
    if (extension == ".html") return "text/html; charset=utf-8";
    if (extension == ".js") return "text/javascript; charset=utf-8";
    return "text/css; charset=utf-8";
}

}  // namespace

Result<ServerPages> loadServerPages(const std::filesystem::path& directory) {
    ServerPages pages;
    for (const char* name : {"index.html", "run.html", "compare.html", "trend.html", "app.js", "app.css", "charts.js",
                             "uPlot.iife.min.js", "uPlot.min.css"}) {
        auto text = readRegularFile(directory / name);
        if (!text) return text.error();
        pages.files["/" + std::string(name)] = {
            .body = std::move(*text),
            .contentType = contentTypeOf(name),
            .headers = {{"Content-Security-Policy", std::string(kPagePolicy)},
                        {"X-Content-Type-Options", "nosniff"},
                        {"X-Frame-Options", "DENY"},
                        {"Referrer-Policy", "no-referrer"}}};
    }
    pages.files["/"] = pages.files["/index.html"];
    return pages;
}

std::vector<HttpRoute> ingestRoutes(IngestQueue& store, const TrustedProxies& proxies, ServerMetrics& metrics) {
    std::vector<HttpRoute> routes;
    routes.push_back({.method = "POST", .path = "/entry-point/json", .bodyLimit = kMaxReportBody, .name = "report",
                      .admit = [](const HttpServerRequest& request) { return admitAgent(request, true); },
                      .handle = [&store, &proxies, &metrics](HttpServerRequest&& request, HttpResponder responder) {
                          ingestReport(store, proxies, metrics, std::move(request), std::move(responder));
                      }});
    routes.push_back({.method = "GET", .path = "/entry-point/test",
                      .handle = [](HttpServerRequest&&, HttpResponder responder) { responder.answer({.status = 200}); }});
    routes.push_back({.method = "POST", .path = "/entry-point/devicetokentest", .bodyLimit = 4096,
                      .name = "device token",
                      .admit = [](const HttpServerRequest& request) { return admitAgent(request, false); },
                      .handle = [&store, &proxies](HttpServerRequest&& request, HttpResponder responder) {
                          ingestDeviceToken(store, proxies, std::move(request), std::move(responder));
                      }});
    return routes;
}

std::vector<HttpRoute> readRoutes(IngestQueue& store, const ServerPages& pages, const ReadSettings& settings) {
    std::vector<HttpRoute> routes;
    const auto& hosts = settings.allowedHosts;
    for (const auto& file : pages.files) {
        const auto& response = file.second;  // a plain reference: clang cannot capture a structured binding
        routes.push_back(readRoute(file.first, false, hosts, [&response](HttpServerRequest&&, HttpResponder responder) {
            responder.answer(response);
        }));
    }
    routes.push_back(readRoute("/api/runs", false, hosts, [&store](HttpServerRequest&& request, HttpResponder responder) {
        listRuns(store, std::move(request), std::move(responder));
    }));
    routes.push_back(readRoute("/api/runs/", true, hosts, [&store, &settings](HttpServerRequest&& request,
                                                                               HttpResponder responder) {
        oneRun(store, std::move(request), std::move(responder), settings.budgets);
    }));
    routes.push_back(readRoute("/api/trend", false, hosts, [&store, &settings](HttpServerRequest&& request,
                                                                               HttpResponder responder) {
        trend(store, std::move(request), std::move(responder), settings.budgets);
    }));
    routes.push_back(readRoute("/api/compare", false, hosts, [&store](HttpServerRequest&& request, HttpResponder responder) {
        compareRuns(store, std::move(request), std::move(responder));
    }));
    routes.push_back(readRoute("/metrics", false, hosts, [&store, &settings](HttpServerRequest&&, HttpResponder responder) {
        responder.answer({.body = settings.metrics.render(store.pending(), store.limits().jobs, nowMs()),
                          .contentType = "text/plain; version=0.0.4; charset=utf-8",
                          .headers = {{"Cache-Control", "no-store"}}});
    }));
    return routes;
}

}  // namespace perfagent

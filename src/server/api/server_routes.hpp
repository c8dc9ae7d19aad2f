#pragma once

#include "http/http_server.hpp"
#include "base/result.hpp"
#include "ingest/ingest_queue.hpp"
#include "verdict/budget.hpp"
#include "api/trusted_proxies.hpp"

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

/// Largest report body the server reads; larger ones get 413 before they are read.
inline constexpr std::size_t kMaxReportBody = 32u << 20;

/// @brief The read pages and their scripts and styles, read once at start and served from memory.
struct ServerPages {
    std::map<std::string, HttpServerResponse, std::less<>> files;  ///< by request path ("/app.js")
};

/// Reads the pages from `directory` (index.html, run.html, compare.html, trend.html, app.js, app.css, charts.js and
/// the uPlot files); the Failure names the file that cannot be read.
Result<ServerPages> loadServerPages(const std::filesystem::path& directory);

class ServerMetrics;

/// The requests the agents send: `POST /entry-point/json`, `GET /entry-point/test` and
/// `POST /entry-point/devicetokentest`. Bodies are checked on the network thread; what they store goes to
/// `queue`, whose worker answers 200 once it is committed. A full queue answers 503, a store that cannot
/// write 503 with Retry-After. The device is the sender's address, or for a request from one of `proxies`
/// the client it names. The routes keep references to all three.
std::vector<HttpRoute> ingestRoutes(IngestQueue& queue, const TrustedProxies& proxies, ServerMetrics& metrics);

/// @brief What the read side is told at start; the routes keep a reference to it.
struct ReadSettings {
    std::vector<std::string> allowedHosts;  ///< names taken in Host and Origin besides the address and localhost
    ServerMetrics& metrics;
    BudgetSet budgets;  ///< verdicts' budgets where a request names none
};

/// The read API (`/api/runs`, `/api/runs/{id}`, `/api/runs/{id}/samples.csv`, `/api/runs/{id}/verdict`,
/// `/api/trend`, `/api/compare`), the pages and `/metrics`, for same-origin browsers only. The store is
/// read on `queue`'s worker, in turn with the reports.
std::vector<HttpRoute> readRoutes(IngestQueue& queue, const ServerPages& pages, const ReadSettings& settings);

}  // namespace perfagent

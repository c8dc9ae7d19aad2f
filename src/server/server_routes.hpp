#pragma once

#include "platform/http_server.hpp"
#include "platform/result.hpp"
#include "server/ingest_queue.hpp"
#include "server/verdict/budget.hpp"

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

/// The requests the agents send: `POST /entry-point/json`, `GET /entry-point/test` and
/// `POST /entry-point/devicetokentest`. Bodies are checked on the network thread and answered at once;
/// what they store goes to `queue`, and a full queue answers 503.
std::vector<HttpRoute> ingestRoutes(IngestQueue& queue);

/// The read API (`/api/runs`, `/api/runs/{id}`, `/api/runs/{id}/samples.csv`, `/api/runs/{id}/verdict`,
/// `/api/compare`) and the pages, for same-origin browsers only. The store is read on `queue`'s worker, in
/// turn with the reports. Verdicts use `serverBudgets` (which must outlive the routes) where the request
/// names none.
std::vector<HttpRoute> readRoutes(IngestQueue& queue, const ServerPages& pages, const BudgetSet& serverBudgets);

}  // namespace perfagent

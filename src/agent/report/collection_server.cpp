#include "report/collection_server.hpp"

#include "http/listen_address.hpp"

namespace perfagent {

namespace {

constexpr unsigned short kDefaultPort = 8089;

/// An absolute path with no query, no fragment and nothing that would need escaping.
bool isValidPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7f) return false;
        switch (c) {
            case '?': case '#': case '"': case '<': case '>': case '\\': case '^': case '`':
            case '{': case '|': case '}':
                return false;
            default:
                break;
        }
    }
    return true;
}

}  // namespace

std::optional<CollectionEndpoint> CollectionEndpoint::parse(std::string_view text) {
    auto parsed = parseHostPort(text, kDefaultPort);
    if (!parsed) return std::nullopt;
    return CollectionEndpoint{std::move(parsed->host), parsed->port};
}

bool CollectionServer::addressable(std::string_view path) const {
    return isValidHost(endpoint_.host) && endpoint_.port != 0 && isValidPath(path);
}

void CollectionServer::sendCollectionRequest(std::string_view path, std::string_view method,
                                             std::optional<std::string> body,
                                             std::vector<std::pair<std::string, std::string>> headers,
                                             std::uint64_t coalesceKey, std::chrono::milliseconds retryFor) {
    if (!addressable(path)) return;
    HttpRequest request;
    request.host = endpoint_.host;
    request.port = endpoint_.port;
    request.method = std::string(method);
    request.target = std::string(path);
    request.headers = std::move(headers);
    request.body = std::move(body);
    request.coalesceKey = coalesceKey;
    // A keyed report is a running one: the next follows within a second.
    request.answerCanWait = coalesceKey != 0;
    request.retryFor = retryFor;
    session_.start(std::move(request));
}

void CollectionServer::postReport(std::optional<std::string> body, std::uint64_t coalesceKey) {
    sendCollectionRequest("/entry-point/json", "POST", std::move(body),
                          {{"Content-Type", "application/json"}, {"Accept", "application/json"}}, coalesceKey,
                          coalesceKey == 0 ? kKeptReportRetry : std::chrono::milliseconds(0));
}

void CollectionServer::sendTestPing() { sendCollectionRequest("/entry-point/test", "GET", std::nullopt, {}); }

void CollectionServer::postDeviceToken(std::optional<std::string> body) {
    sendCollectionRequest("/entry-point/devicetokentest", "POST", std::move(body), {});
}

}  // namespace perfagent

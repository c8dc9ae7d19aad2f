#include "report/collection_server.hpp"
#include "platform/text.hpp"

#include <arpa/inet.h>

#include <charconv>

namespace perfagent {

namespace {

constexpr unsigned short kDefaultPort = 8089;

bool isIpv6Literal(const std::string& host) {
    in6_addr address{};
    return inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

/// A host name or IPv4 address made only of the characters a DNS name uses; anything else (blanks,
/// '/', '@', '%', '?', '#', brackets...) would change or break the meaning of the URL around it.
bool isNameOrIpv4(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '.' || c == '_' || c == '~';
        if (!ok) return false;
    }
    return true;
}

bool isValidHost(const std::string& host) {
    if (host.find(':') != std::string::npos) return isIpv6Literal(host);
    return isNameOrIpv4(host);
}

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

std::optional<unsigned short> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<unsigned short>(value);
}

}  // namespace

std::optional<CollectionEndpoint> CollectionEndpoint::parse(std::string_view text) {
    std::string host;
    std::string_view portText;
    bool hasPort = false;

    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        if (!isIpv6Literal(host)) return std::nullopt;
        const auto rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            portText = rest.substr(1);
            hasPort = true;
        }
    } else {
        const auto colon = text.find(':');
        if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
            // Two or more colons: only a bare IPv6 address (no port) reads unambiguously.
            host = std::string(text);
            if (!isIpv6Literal(host)) return std::nullopt;
        } else {
            host = std::string(text.substr(0, colon));
            if (colon != std::string_view::npos) {
                portText = text.substr(colon + 1);
                hasPort = true;
            }
            if (!isNameOrIpv4(host)) return std::nullopt;
        }
    }

    CollectionEndpoint endpoint;
    endpoint.host = std::move(host);
    endpoint.port = kDefaultPort;
    if (hasPort) {
        const auto port = parsePort(portText);
        if (!port) return std::nullopt;
        endpoint.port = *port;
    }
    return endpoint;
}

std::optional<std::string> CollectionServer::collectionAddress(std::string_view path) const {
    if (!isValidHost(endpoint_.host) || endpoint_.port == 0 || !isValidPath(path)) return std::nullopt;
    return "http://" + authorityText(endpoint_.host, endpoint_.port) + std::string(path);
}

void CollectionServer::sendCollectionRequest(std::string_view path, std::string_view method,
                                             std::optional<std::string> body,
                                             std::vector<std::pair<std::string, std::string>> headers,
                                             std::uint64_t coalesceKey) {
    if (!collectionAddress(path)) return;
    HttpRequest request;
    request.host = endpoint_.host;
    request.port = endpoint_.port;
    request.method = std::string(method);
    request.target = std::string(path);
    request.headers = std::move(headers);
    request.body = std::move(body);
    request.coalesceKey = coalesceKey;
    session_.start(std::move(request));
}

void CollectionServer::postReport(std::optional<std::string> body, std::uint64_t coalesceKey) {
    sendCollectionRequest("/entry-point/json", "POST", std::move(body),
                          {{"Content-Type", "application/json"}, {"Accept", "application/json"}}, coalesceKey);
}

void CollectionServer::sendTestPing() { sendCollectionRequest("/entry-point/test", "GET", std::nullopt, {}); }

void CollectionServer::postDeviceToken(std::optional<std::string> body) {
    sendCollectionRequest("/entry-point/devicetokentest", "POST", std::move(body), {});
}

}  // namespace perfagent

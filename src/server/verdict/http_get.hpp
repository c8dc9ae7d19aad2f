#pragma once

#include "base/result.hpp"

#include <chrono>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief A server named as `http://HOST[:PORT][/]` (port 80 when omitted).
struct ServerUrl {
    std::string host;
    std::string port;
    std::string authority;  ///< as given: sent as the Host header
};
Result<ServerUrl> parseServerUrl(std::string_view url);

struct HttpReply {
    unsigned status = 0;
    std::string body;
};

/// One GET of `target` on `server` over a fresh connection, for command-line use: it blocks its caller
/// until the answer, or a Failure when the server cannot be reached or does not answer within `timeout`.
Result<HttpReply> httpGet(const ServerUrl& server, const std::string& target, std::chrono::milliseconds timeout);

}  // namespace perfagent

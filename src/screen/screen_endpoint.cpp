#include "screen/screen_endpoint.hpp"

#include "platform/http_server.hpp"
#include "platform/main_thread_handoff.hpp"

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <cctype>

namespace perfagent {

namespace {

constexpr std::string_view kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

bool isJsonContentType(std::string_view value) {
    value = value.substr(0, value.find(';'));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    constexpr std::string_view json = "application/json";
    if (value.size() != json.size()) return false;
    for (std::size_t i = 0; i < json.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != json[i]) return false;
    return true;
}

/// A state-changing request must come from our own page (or from no page at all: curl sends no Origin)
/// and carry JSON, which a cross-site form cannot send without asking first.
std::optional<HttpRefusal> admitAction(const HttpServerRequest& request) {
    if (const auto origin = request.header("Origin")) {
        constexpr std::string_view scheme = "http://";
        if (!origin->starts_with(scheme) || !isOwnAuthority(origin->substr(scheme.size()), request))
            return HttpRefusal{403, "foreign origin"};
    }
    if (!isJsonContentType(request.header("Content-Type").value_or(""))) return HttpRefusal{415, "not JSON"};
    return std::nullopt;
}

HttpRoute action(std::string path, std::function<void(HttpServerRequest&&, HttpResponder)> handle) {
    return {.method = "POST", .path = std::move(path), .bodyLimit = 4096, .ownHostOnly = true,
            .name = "screen action", .admit = admitAction, .handle = std::move(handle)};
}

/// Answered as a push is: 202 with the action the agent takes.
void hand(MainThreadHandoff& handoff, const HttpResponder& responder, std::string_view action,
          std::function<void()> block) {
    if (handoff.post(std::move(block)))
        responder.answer({.status = 202, .body = R"({"action":")" + std::string(action) + R"("})",
                          .contentType = "application/json"});
    else
        responder.refuse({503, "agent busy"});
}

}  // namespace

std::vector<HttpRoute> screenRoutes(std::string page, MainThreadHandoff& handoff, ScreenHost& host) {
    std::vector<HttpRoute> routes;
    routes.push_back({.method = "GET", .path = "/", .bodyLimit = 4096, .ownHostOnly = true,
                      .handle = [page = std::move(page)](HttpServerRequest&&, HttpResponder responder) {
                          responder.answer({.body = page,
                                            .contentType = "text/html; charset=utf-8",
                                            .headers = {{"Content-Security-Policy", std::string(kPagePolicy)},
                                                        {"X-Frame-Options", "DENY"},
                                                        {"Referrer-Policy", "no-referrer"}}});
                      }});
    routes.push_back({.method = "GET", .path = "/screen/fields", .bodyLimit = 4096, .ownHostOnly = true,
                      .handle = [&handoff, &host](HttpServerRequest&&, HttpResponder responder) {
                          // The answer is written once the main thread has read the fields; a responder
                          // dropped unanswered (the agent stopping) answers 503 by itself.
                          const bool queued = handoff.post([&host, responder] {
                              const ScreenFields fields = host.screenFields();
                              const boost::json::object document{{"useCaseName", fields.useCaseName},
                                                                 {"srNumber", fields.srNumber}};
                              responder.answer({.body = boost::json::serialize(document),
                                                .contentType = "application/json"});
                          });
                          if (!queued) responder.refuse({503, "agent busy"});
                      }});
    routes.push_back(action("/screen/actions/start", [&handoff, &host](HttpServerRequest&& request,
                                                                       HttpResponder responder) {
        boost::system::error_code ec;
        boost::json::value value = boost::json::parse(request.body, ec);
        if (ec) return responder.refuse({400, "invalid JSON"});
        if (!value.is_object()) return responder.refuse({400, "not a JSON object"});
        std::string texts[2];
        const char* names[2] = {"useCaseName", "srNumber"};
        for (int i = 0; i < 2; ++i) {
            const boost::json::value* member = value.get_object().if_contains(names[i]);
            if (!member) continue;  // an absent field is empty text
            if (!member->is_string()) return responder.refuse({400, "field is not text"});
            texts[i] = std::string(member->get_string());
        }
        hand(handoff, responder, "start", [&host, useCaseName = std::move(texts[0]), srNumber = std::move(texts[1])] {
            host.screenStart(useCaseName, srNumber);
        });
    }));
    routes.push_back(action("/screen/actions/stop", [&handoff, &host](HttpServerRequest&& request,
                                                                      HttpResponder responder) {
        if (request.body.find_first_not_of(" \t\r\n") != std::string::npos) {
            boost::system::error_code ec;
            boost::json::value value = boost::json::parse(request.body, ec);
            if (ec || !value.is_object()) return responder.refuse({400, "not a JSON object"});
        }
        hand(handoff, responder, "stop", [&host] { host.screenStop(); });
    }));
    return routes;
}

}  // namespace perfagent

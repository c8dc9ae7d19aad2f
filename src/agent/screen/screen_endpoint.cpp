#include "screen/screen_endpoint.hpp"

#include "os/files.hpp"
#include "http/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "platform/processes.hpp"
#include "base/thread_annotations.hpp"
#include "base/markers.hpp"
#include "screen/screen_state.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <memory>

namespace perfagent {

namespace {

constexpr std::string_view kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

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

/// The `since` of "/screen/state?since=N": 0 when absent; the refusal when it is not a whole number from 0
/// to kLargestSince.
Result<std::int64_t> sinceOf(std::string_view target) {
    const auto query = target.find('?');
    if (query == std::string_view::npos) return 0;
    std::string_view rest = target.substr(query + 1);
    constexpr std::string_view key = "since=";
    if (!rest.starts_with(key)) {
        if (rest.empty()) return 0;
        return failure("since is not a whole number");
    }
    rest.remove_prefix(key.size());
    std::int64_t since = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), since);
    if (ec == std::errc::invalid_argument || end != rest.data() + rest.size()) return failure("since is not a whole number");
    if (ec != std::errc() || since < 0 || since > kLargestSince)
        return failure("since is out of range (0 to " + std::to_string(kLargestSince) + ")");
    return since;
}

std::string processesJson(std::vector<ProcessInfo> processes) {
    std::sort(processes.begin(), processes.end(), [](const ProcessInfo& a, const ProcessInfo& b) {
        return a.name != b.name ? a.name < b.name : a.identity.pid < b.identity.pid;
    });
    boost::json::array list;
    list.reserve(processes.size());
    for (const ProcessInfo& p : processes)
        list.push_back(boost::json::object{{"pid", p.identity.pid}, {"name", p.name}, {"command", p.commandLine},
                                           {"user", p.user}, {"rss", p.residentBytes}});
    return boost::json::serialize(list);
}

/// @brief The process list as the page reads it, listed at most once a second.
class ProcessListing {
public:
    std::string json(ProcessList& processes) {
        MutexLock lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (json_.empty() || now - listedAt_ >= kFresh) {
            json_ = processesJson(processes.processes());
            listedAt_ = now;
        }
        return json_;
    }

private:
    static constexpr auto kFresh = std::chrono::seconds(1);
    Mutex mutex_;
    std::string json_ GUARDED_BY(mutex_);
    std::chrono::steady_clock::time_point listedAt_ GUARDED_BY(mutex_);
};

/// The answer to a screen action the agent takes: 202 naming it, as a push's answer does.
HttpServerResponse actionAnswer(std::string_view action) {
    return {.status = 202, .body = R"({"action":")" + std::string(action) + R"("})", .contentType = "application/json"};
}

/// Answered as a push is: 202 with the action the agent takes.
void hand(MainThreadHandoff& handoff, const HttpResponder& responder, std::string_view action,
          std::function<void()> block) {
    if (handoff.post(std::move(block)))
        responder.answer(actionAnswer(action));
    else
        responder.refuse({503, "agent busy"});
}

}  // namespace

Result<std::vector<ScreenFile>> readScreenFiles(const std::filesystem::path& resources) {
    constexpr std::string_view script = "text/javascript; charset=utf-8";
    const struct {
        std::string_view path, file, contentType;
    } known[] = {{"/", "Main.html", "text/html; charset=utf-8"},
                 {"/screen.js", "screen.js", script},
                 {"/charts.js", "charts.js", script},
                 {"/uPlot.iife.min.js", "uPlot.iife.min.js", script},
                 {"/uPlot.min.css", "uPlot.min.css", "text/css; charset=utf-8"}};
    std::vector<ScreenFile> files;
    for (const auto& k : known) {
        auto body = readRegularFile(resources / k.file);
        if (!body) return body.error();
        files.push_back({std::string(k.path), std::string(k.contentType), std::move(*body)});
    }
    return files;
}

std::vector<HttpRoute> screenRoutes(std::vector<ScreenFile> files, MainThreadHandoff& handoff, ScreenHost& host,
                                    ProcessList& processes, TargetResolver& targets) {
    std::vector<HttpRoute> routes;
    for (ScreenFile& file : files) {
        routes.push_back({.method = "GET", .path = file.path, .bodyLimit = 4096, .ownHostOnly = true,
                          .handle = [file = std::move(file)](HttpServerRequest&&, HttpResponder responder) {
                              responder.answer({.body = file.body,
                                                .contentType = file.contentType,
                                                .headers = {{"Content-Security-Policy", std::string(kPagePolicy)},
                                                            {"X-Content-Type-Options", "nosniff"},
                                                            {"X-Frame-Options", "DENY"},
                                                            {"Referrer-Policy", "no-referrer"},
                                                            {"Cache-Control", "no-cache"}}});
                          }});
    }
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
    routes.push_back({.method = "GET", .path = "/screen/state", .bodyLimit = 4096, .ownHostOnly = true,
                      .handle = [&handoff, &host](HttpServerRequest&& request, HttpResponder responder) {
                          const auto since = sinceOf(request.target);
                          if (!since) return responder.refuse({400, since.error().message});
                          const bool queued = handoff.post([&host, responder, since = *since] {
                              responder.answer({.body = host.screenState(since), .contentType = "application/json",
                                                .headers = {{"Cache-Control", "no-store"}}});
                          });
                          if (!queued) responder.refuse({503, "agent busy"});
                      }});
    // Reading /proc takes a few milliseconds for a few hundred processes: one listing serves every request
    // for a second, so clients polling it cannot keep the network thread busy.
    routes.push_back({.method = "GET", .path = "/screen/processes", .bodyLimit = 4096, .ownHostOnly = true,
                      .handle = [&processes, listing = std::make_shared<ProcessListing>()](HttpServerRequest&&,
                                                                                           HttpResponder responder) {
                          responder.answer({.body = listing->json(processes), .contentType = "application/json",
                                            .headers = {{"Cache-Control", "no-store"}}});
                      }});
    routes.push_back(action("/screen/actions/start", [&handoff, &host, &targets](HttpServerRequest&& request,
                                                                                 HttpResponder responder) {
        boost::system::error_code ec;
        boost::json::value value = boost::json::parse(request.body, ec);
        if (ec) return responder.refuse({400, "invalid JSON"});
        if (!value.is_object()) return responder.refuse({400, "not a JSON object"});
        std::string texts[4];
        const char* names[4] = {"useCaseName", "srNumber", "target", "build"};
        for (int i = 0; i < 4; ++i) {
            const boost::json::value* member = value.get_object().if_contains(names[i]);
            if (!member) continue;  // an absent field is empty text
            if (!member->is_string()) return responder.refuse({400, "field is not text"});
            texts[i] = std::string(member->get_string());
        }
        if (texts[3].size() > kMaxScreenBuildBytes) return responder.refuse({400, "build is longer than 128 bytes"});
        // The page's target (else the agent's) is resolved here, once: the main thread measures what it names now.
        const bool queued = handoff.post([&host, responder, useCaseName = std::move(texts[0]),
                                          srNumber = std::move(texts[1]),
                                          target = targets.resolve(std::nullopt, TargetChoice{std::move(texts[2])}),
                                          build = std::move(texts[3])] {
            if (auto started = host.screenStart(useCaseName, srNumber, target, build); !started)
                responder.refuse({409, started.error().message});
            else
                responder.answer(actionAnswer("start"));
        });
        if (!queued) responder.refuse({503, "agent busy"});
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
    routes.push_back(action("/screen/actions/mark", [&handoff, &host](HttpServerRequest&& request,
                                                                      HttpResponder responder) {
        boost::system::error_code ec;
        const boost::json::value value = boost::json::parse(request.body, ec);
        const boost::json::value* label = !ec && value.is_object() ? value.get_object().if_contains("label") : nullptr;
        if (!label || !label->is_string()) return responder.refuse({400, "not a JSON object with a \"label\" text"});
        if (auto checked = checkMarkerLabel(label->get_string()); !checked)
            return responder.refuse({400, checked.error().message});
        const bool queued = handoff.post([&host, responder, text = std::string(label->get_string())] {
            responder.answer({.status = 202, .body = host.screenMark(text), .contentType = "application/json"});
        });
        if (!queued) responder.refuse({503, "agent busy"});
    }));
    return routes;
}

}  // namespace perfagent

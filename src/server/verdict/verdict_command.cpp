#include "verdict/verdict_command.hpp"

#include "base/command_options.hpp"
#include "api/read_api.hpp"
#include "verdict/budget.hpp"

#include <boost/json/parse.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <thread>

namespace perfagent {
namespace {

constexpr std::chrono::milliseconds kRequestTimeout{30'000};
constexpr std::int64_t kMaxWaitSeconds = 7 * 24 * 3600;

std::string percentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

/// A number as the table shows it: up to four significant digits, "-" when absent.
std::string figure(const boost::json::value& value, bool signedText = false) {
    if (!value.is_number()) return "-";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, signedText ? "%+.4g" : "%.4g", value.to_number<double>());
    return buffer;
}

/// Why a run cannot be judged yet, as the exit code and a message; nothing once it can.
struct Stop {
    int code;
    std::string message;
};

/// The answer's JSON object, or the Stop for an unreachable server, an unknown run or a refusal.
boost::system::result<boost::json::object, Stop> getJson(const ServerUrl& server, const std::string& target) {
    const auto reply = httpGet(server, target, kRequestTimeout);
    if (!reply) return Stop{kVerdictUnreachable, "cannot reach the server: " + reply.error().message};
    if (reply->status == 404) return Stop{kVerdictUnreachable, target + ": " + reply->body};
    if (reply->status == 400) return Stop{kVerdictBadUsage, target + ": " + reply->body};
    if (reply->status != 200) {
        // The first line of the reason, such as a foreign Host's advice to start the server with --allow-host.
        const std::string reason = reply->body.substr(0, std::min(reply->body.find('\n'), std::size_t{200}));
        return Stop{kVerdictUnreachable, target + ": HTTP " + std::to_string(reply->status) +
                                             (reason.empty() ? "" : ": " + reason)};
    }
    boost::system::error_code ec;
    auto json = boost::json::parse(reply->body, ec);
    if (ec || !json.is_object()) return Stop{kVerdictUnreachable, target + ": not a JSON object"};
    return std::move(json.as_object());
}

/// The newest run of the use case (exactly that name), or nothing.
boost::system::result<std::optional<std::int64_t>, Stop> latestRun(const ServerUrl& server, const std::string& usecase) {
    std::string target = "/api/runs?limit=1000&usecase=" + percentEncoded(usecase);
    const auto page = getJson(server, target);
    if (!page) return page.error();
    for (const auto& run : page->at("runs").as_array()) {
        const auto& fields = run.as_object();
        if (fields.at("usecase").is_string() && fields.at("usecase").as_string() == usecase)
            return std::optional(fields.at("id").to_number<std::int64_t>());
    }
    return std::optional<std::int64_t>();
}

}  // namespace

Result<VerdictCommand> parseVerdictCommand(const std::vector<std::string>& arguments) {
    VerdictCommand command;
    bool latest = false, server = false;
    CommandOptions walk(arguments);
    while (const auto option = walk.next()) {
        const std::string& flag = option->flag;
        if ((flag == "--help" || flag == "-h" || flag == "--latest") && !option->value) {
            (flag == "--latest" ? latest : command.help) = true;
            continue;
        }
        if (flag != "--server" && flag != "--run" && flag != "--usecase" && flag != "--baseline" &&
            flag != "--baseline-build" && flag != "--budget" && flag != "--wait")
            return failure(walk.unknownOption());
        const auto value = walk.requireValue(*option);
        if (!value) return value.error();
        if (flag == "--server") {
            auto url = parseServerUrl(*value);
            if (!url) return url.error();
            command.server = std::move(*url), server = true;
        } else if (flag == "--run" || flag == "--baseline") {
            const auto id = parseRunId(*value);
            if (!id) return failure(flag + ": '" + *value + "' is not a run id");
            (flag == "--run" ? command.run : command.baseline) = id;
        } else if (flag == "--usecase") {
            command.usecase = *value;
        } else if (flag == "--baseline-build") {
            command.baselineBuild = *value;
        } else if (flag == "--budget") {
            if (const auto budgets = parseBudgets(*value); !budgets) return failure("--budget: " + budgets.error().message);
            command.budget = *value;
        } else {
            const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), command.waitSeconds);
            if (error != std::errc() || end != value->data() + value->size() || command.waitSeconds < 0 ||
                command.waitSeconds > kMaxWaitSeconds)
                return failure("--wait: '" + *value + "' is not a number of seconds up to a week");
        }
    }
    if (command.help) return command;
    if (!server) return failure("--server URL is needed (see --help)");
    if (command.run.has_value() == command.usecase.has_value()) return failure("give --run ID or --usecase NAME --latest");
    if (command.usecase && !latest) return failure("--usecase needs --latest");
    if (command.run && latest) return failure("--latest goes with --usecase, not --run");
    if (command.baseline && command.baselineBuild) return failure("give --baseline or --baseline-build, not both");
    return command;
}

std::string verdictTable(const std::string& verdictJson) {
    boost::system::error_code ec;
    const auto parsed = boost::json::parse(verdictJson, ec);
    if (ec || !parsed.is_object()) return {};
    const auto& verdict = parsed.as_object();
    std::string out = "run " + figure(verdict.at("run")) + " against baseline " +
                      (verdict.at("baseline").is_null() ? std::string("(none)") : figure(verdict.at("baseline"))) +
                      ": " + std::string(verdict.at("outcome").as_string()) + "\n";
    char line[256];
    if (verdict.at("series").as_array().empty()) return out;
    std::snprintf(line, sizeof line, "%-18s %12s %12s %-30s %-8s %-9s %s\n", "series", "baseline", "run",
                  "shift [99% interval]", "budget", "p", "outcome");
    out += line;
    for (const auto& item : verdict.at("series").as_array()) {
        const auto& s = item.as_object();
        const std::string shift = figure(s.at("shift"), true) + " [" + figure(s.at("low"), true) + ", " +
                                  figure(s.at("high"), true) + "]";
        const std::string p = s.at("p").is_number() && s.at("p").to_number<double>() < 1e-4 ? "<0.0001" : figure(s.at("p"));
        std::snprintf(line, sizeof line, "%-18s %12s %12s %-30s %-8s %-9s %s\n", std::string(s.at("series").as_string()).c_str(),
                      figure(s.at("baselineMedian")).c_str(), figure(s.at("runMedian")).c_str(), shift.c_str(),
                      std::string(s.at("budget").as_string()).c_str(), p.c_str(),
                      std::string(s.at("outcome").as_string()).c_str());
        out += line;
    }
    return out;
}

int runVerdictCommand(const VerdictCommand& command) {
    const auto stop = [](const Stop& why) {
        std::fprintf(stderr, "perfagent-server verdict: %s\n", why.message.c_str());
        return why.code;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(command.waitSeconds);
    const auto waitMore = [&] {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return true;
    };
    std::optional<std::int64_t> run = command.run;
    while (!run) {
        const auto latest = latestRun(command.server, *command.usecase);
        if (!latest) return stop(latest.error());
        run = *latest;
        if (!run && !waitMore()) return stop({kVerdictUnreachable, "no run of use case '" + *command.usecase + "'"});
    }
    const std::string runPath = "/api/runs/" + std::to_string(*run);
    if (command.waitSeconds > 0) {
        for (;;) {
            const auto detail = getJson(command.server, runPath);
            if (!detail) return stop(detail.error());
            if (detail->at("complete").as_bool()) break;
            if (!waitMore())
                return stop({kVerdictInconclusive, "run " + std::to_string(*run) + " is still receiving reports"});
        }
    }
    std::string query;
    const auto add = [&](const char* name, const std::string& value) {
        query += (query.empty() ? "?" : "&") + std::string(name) + "=" + percentEncoded(value);
    };
    if (command.baseline) add("baseline", std::to_string(*command.baseline));
    if (command.baselineBuild) add("baseline_build", *command.baselineBuild);
    if (command.budget) add("budget", *command.budget);
    const auto reply = httpGet(command.server, runPath + "/verdict" + query, kRequestTimeout);
    if (!reply) return stop({kVerdictUnreachable, "cannot reach the server: " + reply.error().message});
    if (reply->status != 200)
        return stop({reply->status == 400 ? kVerdictBadUsage : kVerdictUnreachable, "run " + std::to_string(*run) + ": " + reply->body});
    const std::string table = verdictTable(reply->body);
    if (table.empty()) return stop({kVerdictUnreachable, "the server's verdict is not JSON"});
    std::fputs(table.c_str(), stdout);
    const auto verdict = boost::json::parse(reply->body).as_object();
    const std::string_view outcome = verdict.at("outcome").as_string();
    if (outcome == "regressed") return kVerdictRegressed;
    if (outcome == "inconclusive" || verdict.at("baseline").is_null()) return kVerdictInconclusive;
    return kVerdictPassed;
}

std::string verdictUsageText() {
    return "usage: perfagent-server verdict --server URL (--run ID | --usecase NAME --latest)\n"
           "                                [--baseline ID | --baseline-build X] [--budget LIST] [--wait SECONDS]\n"
           "\n"
           "Prints a run's verdict against its baseline: per series the medians, the shift with its 99 % interval,\n"
           "the budget, the Mann-Whitney p and the outcome.\n"
           "\n"
           "  --server URL          the server's read API, http://HOST[:PORT]\n"
           "  --run ID              the run to judge\n"
           "  --usecase NAME --latest   the newest run of that use case\n"
           "  --baseline ID         compare with this run (default: the newest complete earlier run of the same\n"
           "                        use case and target)\n"
           "  --baseline-build X    the newest such run of build X\n"
           "  --budget LIST         e.g. CPU:+10%,AppMemory:+20MB,+5% (default: the server's --budget, else +10%)\n"
           "  --wait SECONDS        wait up to this long for the run to exist and complete first\n"
           "\n"
           "Exit status: 0 unchanged or improved, 1 regressed, 2 bad usage, 3 inconclusive or no baseline,\n"
           "4 server unreachable or run unknown.\n";
}

}  // namespace perfagent

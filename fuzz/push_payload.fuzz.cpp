// Feeds arbitrary bytes through the push path the way the listener and the application delegate see
// them, without the network: the body check, the console rendering of the user info, the value texts of
// its members, the payload's command and names, the command read once and its answer, and the dispatch into the two
// collectors of an application delegate running on fake platform services. The measurement a command
// starts is run for a few virtual seconds and ended, so the payload's names also go through the reports.
//
// Each input gets a fresh set of services and a fresh delegate, and nothing outlives the input, so a run
// depends on its input alone. Besides crashes and sanitizer reports, an input fails when the outcome
// contradicts what the payload says (see the checks below).

#include "report/json_text.hpp"
#include "base/markers.hpp"
#include "base/text.hpp"
#include "shell/app_delegate.hpp"
#include "shell/push_endpoint.hpp"
#include "shell/remote_command.hpp"
#include "support/fake_shell.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace perfagent;
using namespace perfagent::testing;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "push_payload_fuzz: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

/// Everything an application delegate needs, faked, and the delegate itself, declared after the
/// services so that it (and its collectors' timers) goes first.
struct World {
    FakeShell shell;
    AppDelegate delegate{shell.services()};
};

/// The doubles the body's number texts stand for, read by std::from_chars (correctly rounded) from the
/// texts a bare parser reports: an oracle that shares nothing with the agent's number parsing.
struct NumberTexts {
    static constexpr std::size_t max_object_size = std::size_t(-1), max_array_size = std::size_t(-1),
                                 max_key_size = std::size_t(-1), max_string_size = std::size_t(-1);
    using ec_t = boost::system::error_code;
    using sv = boost::json::string_view;
    std::string part;
    std::set<double> doubles;
    bool on_number_part(sv s, ec_t&) { return part.append(s.data(), s.size()), true; }
    bool on_double(double, sv s, ec_t&) {
        part.append(s.data(), s.size());
        double exact = 0;
        if (std::from_chars(part.data(), part.data() + part.size(), exact).ec == std::errc()) doubles.insert(exact);
        part.clear();
        return true;
    }
    bool on_int64(std::int64_t, sv, ec_t&) { return part.clear(), true; }
    bool on_uint64(std::uint64_t, sv, ec_t&) { return part.clear(), true; }
    bool on_document_begin(ec_t&) { return true; }
    bool on_document_end(ec_t&) { return true; }
    bool on_object_begin(ec_t&) { return true; }
    bool on_object_end(std::size_t, ec_t&) { return true; }
    bool on_array_begin(ec_t&) { return true; }
    bool on_array_end(std::size_t, ec_t&) { return true; }
    bool on_key_part(sv, std::size_t, ec_t&) { return true; }
    bool on_key(sv, std::size_t, ec_t&) { return true; }
    bool on_string_part(sv, std::size_t, ec_t&) { return true; }
    bool on_string(sv, std::size_t, ec_t&) { return true; }
    bool on_bool(bool, ec_t&) { return true; }
    bool on_null(ec_t&) { return true; }
    bool on_comment_part(sv, ec_t&) { return true; }
    bool on_comment(sv, ec_t&) { return true; }
};

/// A number's value text must read back to the same number: integers exactly, doubles to a double that
/// one of the body's own number texts stands for, whole doubles without a fraction or an exponent.
void checkNumberText(const boost::json::value& value, const std::string& text, const std::set<double>& exact) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (value.is_int64()) {
        std::int64_t back = 0;
        const auto result = std::from_chars(first, last, back);
        check(result.ec == std::errc() && result.ptr == last && back == value.get_int64(), "int64 text");
    } else if (value.is_uint64()) {
        std::uint64_t back = 0;
        const auto result = std::from_chars(first, last, back);
        check(result.ec == std::errc() && result.ptr == last && back == value.get_uint64(), "uint64 text");
    } else if (value.is_double()) {
        const double number = value.get_double();
        double back = 0;
        const auto result = std::from_chars(first, last, back);
        check(result.ec == std::errc() && result.ptr == last, "double text does not read back");
        check(back == number || (std::isnan(back) && std::isnan(number)), "double text reads back differently");
        // Texts out of the normal range (subnormal, zero or infinite) have no from_chars value to compare.
        check(!std::isfinite(number) || std::fabs(number) < DBL_MIN || exact.count(back) == 1,
              "double differs from every number text of the body");
        if (std::isfinite(number) && number == std::trunc(number))
            check(text.find_first_of(".eE") == std::string::npos, "whole number written with a fraction");
    }
}

/// No console line carries a control character: names cannot forge lines or send terminal escapes.
void checkPrintable(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        for (const char c : line) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "control character printed");
}

/// Checks one report body: a JSON object whose names are the given ones, each left out exactly when it is
/// empty.
void checkReport(const std::string& body, const std::string& usecase, const std::string& srNumber,
                 const std::string& pagename) {
    boost::system::error_code ec;
    const boost::json::value report = boost::json::parse(body, ec);
    check(!ec && report.is_object(), "report body is not a JSON object");
    const std::pair<const char*, const std::string*> names[] = {
        {"UsecaseName", &usecase}, {"srNumber", &srNumber}, {"pagename", &pagename}};
    for (const auto& [key, expected] : names) {
        const auto* member = report.get_object().if_contains(key);
        if (expected->empty()) {
            check(member == nullptr, "empty name present in a report");
        } else {
            check(member && member->is_string() && member->get_string() == *expected,
                  "report name differs from the payload's");
        }
    }
}

/// The reports a started measurement sent. A measurement started by "start" names every report after
/// the payload. An overall measurement's running reports come from a collector that has no names; only
/// its final report, the last one sent, carries the payload's.
void checkReports(const std::vector<HttpRequest>& requests, const RemoteCommand& command, CommandAction action) {
    check(!requests.empty() && requests.back().body, "a started measurement sent no final report");
    const std::string none;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (!requests[i].body) continue;
        const bool named = action == CommandAction::Start || i + 1 == requests.size();
        if (named)
            checkReport(*requests[i].body, command.usecase, command.srNumber, command.pagename);
        else
            checkReport(*requests[i].body, none, none, none);
    }
}

constexpr std::pair<std::string_view, CommandAction> kCommandWords[] = {
    {"start", CommandAction::Start},
    {"stop", CommandAction::Stop},
    {"startoverall", CommandAction::StartOverall},
    {"stopoverall", CommandAction::StopOverall},
    {"mark", CommandAction::Mark},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);

    // The listener's acceptance check.
    PushBodyCheck accepted = parsePushBody(body);
    if (!accepted.userInfo) {
        check(accepted.status == (size > kPushBodyLimit ? 413u : 400u), "refusal status");
        check(!accepted.reason.empty(), "refusal without a reason");
        return 0;
    }
    check(size <= kPushBodyLimit, "oversized body accepted");
    const boost::json::object& userInfo = *accepted.userInfo;
    boost::json::basic_parser<NumberTexts> numbers(boost::json::parse_options{});
    boost::system::error_code numbersError;
    numbers.write_some(false, body.data(), body.size(), numbersError);
    check(!numbersError, "an accepted body does not parse");
    const std::set<double>& exact = numbers.handler().doubles;

    // Console rendering and the value texts of every member, nested ones included.
    const std::string rendered = jsonText(userInfo);
    check(rendered.size() >= 3 && rendered.front() == '[' && rendered.back() == ']', "rendering not bracketed");
    std::vector<const boost::json::value*> pending;
    for (const auto& member : userInfo) pending.push_back(&member.value());
    while (!pending.empty()) {
        const boost::json::value& value = *pending.back();
        pending.pop_back();
        const std::string text = payloadValueText(value);
        if (value.is_string()) check(text == value.get_string(), "text value not used unchanged");
        if (value.is_number()) checkNumberText(value, text, exact);
        if (value.is_object() || value.is_array()) check(text == jsonText(value), "nested value text");
        if (value.is_object())
            for (const auto& member : value.get_object()) pending.push_back(&member.value());
        if (value.is_array())
            for (const auto& element : value.get_array()) pending.push_back(&element);
    }

    // The payload's command and names.
    const Result<RemoteCommand> command = parseRemoteCommand(userInfo);
    const boost::json::value* aps = userInfo.if_contains("aps");
    const boost::json::value* alert = aps && aps->is_object() ? aps->get_object().if_contains("alert") : nullptr;
    const boost::json::value* srNumber = userInfo.if_contains("srNumber");
    const boost::json::value* usecase = userInfo.if_contains("usecase");
    const boost::json::value* pagename = userInfo.if_contains("pagename");
    // A mark needs a label and nothing else.
    const bool marks = alert && alert->is_string() && alert->get_string() == "mark";
    const boost::json::value* label = userInfo.if_contains("label");
    check(command.has_value() == (marks ? label && label->is_string() && checkMarkerLabel(label->get_string())
                                        : alert && srNumber && usecase),
          "payload accepted or rejected wrongly");
    CommandAction action = CommandAction::None;
    if (command && marks) {
        action = commandAction(command->command);
        check(action == CommandAction::Mark && command->label == label->get_string(), "mark read wrongly");
    } else if (command) {
        check(command->command == payloadValueText(*alert), "command text");
        check(command->srNumber == payloadValueText(*srNumber), "SR number text");
        check(command->usecase == payloadValueText(*usecase), "use-case text");
        check(command->pagename == (pagename ? payloadValueText(*pagename) : std::string()), "page name text");
        action = commandAction(command->command);
        for (const auto& [word, wordAction] : kCommandWords)
            check((command->command == word) == (action == wordAction), "command word decision");
    } else {
        check(!command.error().message.empty(), "rejection without a reason");
    }

    // The command as the listener reads it, then its dispatch through a delegate. These fake services list no
    // processes: a start that names a target is refused with the reason, and nothing is delivered.
    World world;
    TargetResolver targets(nullptr, world.shell.proc, std::nullopt);
    const Result<PushCommand> push = readPush(userInfo, targets);
    const bool starts = command && (action == CommandAction::Start || action == CommandAction::StartOverall);
    if (starts && !command->target.empty()) {
        check(!push && push.error().message.starts_with("target ") &&
                  push.error().code == std::errc::no_such_process,
              "a start naming a target this host cannot measure was accepted");
        return 0;
    }
    check(push && push->action == action && push->echo == rendered, "the command read differs from the payload");
    check(pushDecision(*push).starts_with(action == CommandAction::None ? R"({"action":"none","reason":)" : R"({"action":")"),
          "the answer does not name the action");
    MetricsCollector& collector = *world.delegate.metricsCollector;
    OverallMeasurement& overall = *world.delegate.metricscollectoroverall;
    const std::string answer = world.delegate.didReceiveRemoteNotification(*push);
    const std::vector<std::string> lines = world.shell.console.take();
    checkPrintable(lines);
    check(!lines.empty() && lines.front() == "userinfo :" + rendered, "first line is not the user info");
    if (action == CommandAction::Mark) {
        // Nothing runs in a fresh world: the mark lands nowhere and says so.
        check(answer == R"({"action":"none","reason":"no measurement running"})" && lines.size() == 2 &&
                  world.shell.loop.pending() == 0,
              "a mark without a measurement did something");
        return 0;
    }
    if (!command) {
        check(lines.size() == 1, "a rejected payload printed more than the user info");
        check(world.shell.diagnostics.size() == 1, "a rejected payload is not reported once");
        check(!collector.running() && !overall.running() && world.shell.loop.pending() == 0,
              "a rejected payload touched a collector");
        return 0;
    }
    check(world.shell.diagnostics.empty(), "an accepted payload was reported as rejected");
    check(lines.size() >= 6, "too few dispatch lines");
    check(lines[1] == "pagename:" + consoleText(command->pagename), "page name line");
    check(lines[2] == "srnumber : " + consoleText(command->srNumber), "SR number line");
    check(lines[3] == "usecasename : " + consoleText(command->usecase), "use-case name line");
    check(lines[lines.size() - 2] == consoleText(command->command) + ":test", "command line");
    check(lines.back() == "hellow world", "last line");
    switch (action) {
    case CommandAction::Start:
        check(collector.running(), "start did not schedule sampling");
        check(collector.useCase() == command->usecase && collector.srno() == command->srNumber &&
                  collector.pagename() == command->pagename,
              "start got other names");
        check(!overall.running(), "start touched the overall collector");
        break;
    case CommandAction::StartOverall:
        check(overall.running().has_value() && !collector.running(), "startoverall went to the wrong collector");
        check(world.shell.loop.pending() > 0, "startoverall started no loop");
        break;
    case CommandAction::StopOverall:
        check(!overall.running(), "stopoverall left the overall measurement running");
        [[fallthrough]];
    case CommandAction::Stop:
    case CommandAction::None:
    case CommandAction::Mark:  // answered above
        check(lines.size() == 6, "a command without a running measurement printed more");
        check(!collector.running() && world.shell.loop.pending() == 0, "a collector was started");
        break;
    }

    // Let what was started sample twice, end both measurements and let the overall loop wind down. Nothing
    // may be left on the loop afterwards, so nothing carries over into the next input's memory.
    world.shell.loop.advance(2.5);
    collector.stop();
    overall.stop();
    world.shell.loop.advance(2.0);
    check(world.shell.loop.pending() == 0, "work left on the loop after both measurements ended");
    checkPrintable(world.shell.console.take());
    const std::vector<HttpRequest> requests = world.shell.urlSession.take();
    if (action == CommandAction::Start || action == CommandAction::StartOverall)
        checkReports(requests, *command, action);
    else
        check(requests.empty(), "a report was sent without a started measurement");
    return 0;
}

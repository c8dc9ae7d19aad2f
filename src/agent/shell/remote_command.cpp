#include "shell/remote_command.hpp"

#include "report/json_text.hpp"
#include "base/markers.hpp"
#include "base/text.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <charconv>
#include <cmath>

namespace perfagent {

std::string payloadValueText(const boost::json::value& value) {
    char buffer[400];
    switch (value.kind()) {
    case boost::json::kind::string: return std::string(value.get_string());
    case boost::json::kind::int64:
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value.get_int64()).ptr);
    case boost::json::kind::uint64:
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value.get_uint64()).ptr);
    case boost::json::kind::double_: {
        const double number = value.get_double();
        if (std::isfinite(number) && number == std::trunc(number)) {
            // A whole number is written as its digits, however large (at most 309 of them).
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::fixed);
            return std::string(buffer, result.ptr);
        }
        return doubleText(number);
    }
    case boost::json::kind::bool_: return value.get_bool() ? "true" : "false";
    case boost::json::kind::null: return "<null>";
    case boost::json::kind::object:
    case boost::json::kind::array: return jsonText(value);
    }
    return {};
}

Result<RemoteCommand> parseRemoteCommand(const boost::json::object& userInfo) {
    const auto* aps = userInfo.if_contains("aps");
    if (!aps) return failure("no \"aps\"");
    if (!aps->is_object()) return failure("\"aps\" is not an object");
    const auto* alert = aps->get_object().if_contains("alert");
    if (!alert) return failure("no \"alert\" in \"aps\"");
    if (alert->is_string() && alert->get_string() == "mark") {
        // A mark names no measurement: it applies to every one running.
        const auto* label = userInfo.if_contains("label");
        if (!label || !label->is_string()) return failure("no \"label\" text");
        if (auto checked = checkMarkerLabel(label->get_string()); !checked) return checked.error();
        RemoteCommand command;
        command.command = "mark";
        command.label = label->get_string();
        return command;
    }
    const auto* srNumber = userInfo.if_contains("srNumber");
    if (!srNumber) return failure("no \"srNumber\"");
    const auto* usecase = userInfo.if_contains("usecase");
    if (!usecase) return failure("no \"usecase\"");
    RemoteCommand command;
    command.command = payloadValueText(*alert);
    command.srNumber = payloadValueText(*srNumber);
    command.usecase = payloadValueText(*usecase);
    if (const auto* pagename = userInfo.if_contains("pagename")) command.pagename = payloadValueText(*pagename);
    if (const auto* target = userInfo.if_contains("target")) command.target = payloadValueText(*target);
    if (const auto* tree = userInfo.if_contains("targetTree")) command.targetTree = tree->is_bool() && tree->get_bool();
    if (const auto* build = userInfo.if_contains("build")) {
        if (!build->is_string() || build->get_string().size() > kMaxBuildBytes)
            return failure("\"build\" is not a text of at most 128 bytes");
        command.build = build->get_string();
    }
    if (const auto* metrics = userInfo.if_contains("metrics")) {
        if (!metrics->is_array()) return failure("\"metrics\" is not a list of metric groups (" + metricGroupNames() + ")");
        MetricGroupSet groups;
        for (const auto& name : metrics->get_array()) {
            const auto group = name.is_string() ? metricGroupNamed(name.get_string()) : std::nullopt;
            if (!group)
                return failure("\"metrics\": '" + payloadValueText(name) + "' is not a metric group (groups: " + metricGroupNames() + ")");
            groups.add(*group);
        }
        command.metrics = groups;
    }
    return command;
}

CommandAction commandAction(std::string_view command) {
    if (command == "start") return CommandAction::Start;
    if (command == "stop") return CommandAction::Stop;
    if (command == "startoverall") return CommandAction::StartOverall;
    if (command == "stopoverall") return CommandAction::StopOverall;
    if (command == "mark") return CommandAction::Mark;
    return CommandAction::None;
}

Result<PushCommand> readPush(const boost::json::object& userInfo, TargetResolver& targets) {
    PushCommand command{.echo = jsonText(userInfo), .payload = parseRemoteCommand(userInfo), .target = std::nullopt};
    if (!command.payload) return command;
    command.action = commandAction(command.payload->command);
    if (command.action == CommandAction::Start || command.action == CommandAction::StartOverall) {
        auto target = targets.resolve(TargetChoice{command.payload->target, command.payload->targetTree});
        if (!target) return target.error();
        command.target = std::move(*target);
    }
    return command;
}

std::string pushDecision(const PushCommand& command) {
    boost::json::object answer;
    switch (command.action) {
    case CommandAction::Start: answer["action"] = "start"; break;
    case CommandAction::Stop: answer["action"] = "stop"; break;
    case CommandAction::StartOverall: answer["action"] = "startoverall"; break;
    case CommandAction::StopOverall: answer["action"] = "stopoverall"; break;
    case CommandAction::Mark: answer["action"] = "mark"; break;
    case CommandAction::None:
        answer["action"] = "none";
        answer["reason"] = command.payload ? "\"alert\" is not start, stop, startoverall, stopoverall or mark"
                                           : command.payload.error().message;
        break;
    }
    return boost::json::serialize(answer);
}

std::string markAnswer(const std::vector<std::string>& applied, const std::vector<std::pair<std::string, std::string>>& refused) {
    boost::json::object answer;
    if (applied.empty()) {
        answer["action"] = "none";
        answer["reason"] = refused.empty() ? "no measurement running" : refused.front().second;
        return boost::json::serialize(answer);
    }
    answer["action"] = "mark";
    answer["measurements"] = boost::json::array(applied.begin(), applied.end());
    if (!refused.empty()) {
        boost::json::object reasons;
        for (const auto& [measurement, reason] : refused) reasons[measurement] = reason;
        answer["refused"] = std::move(reasons);
    }
    return boost::json::serialize(answer);
}

}  // namespace perfagent

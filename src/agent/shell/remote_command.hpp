#pragma once

#include "collector/target.hpp"
#include "base/result.hpp"
#include "probes/metric_groups.hpp"

#include <boost/json/fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace perfagent {

/// The longest "build" a push may name.
inline constexpr std::size_t kMaxBuildBytes = 128;

/// @brief What a push payload asks for: the command word and the measurement's names, as texts.
struct RemoteCommand {
    std::string command;
    std::string srNumber;
    std::string usecase;
    std::string pagename;  ///< empty when the payload has none
    std::string target;    ///< "target": the process to measure; empty when the payload has none
    bool targetTree = false;  ///< "targetTree": true
    std::string build;        ///< "build": which build is measured; empty when the payload has none
    std::string label;        ///< a mark's "label"
    std::optional<MetricGroupSet> metrics;  ///< "metrics": the groups sampled; none: the agent's own choice
};

/// The text a payload value stands for: a string unchanged (no quotes), a number in plain decimal (a
/// whole number without a fraction), true/false, <null>, and the console's bracket form for objects
/// and arrays.
std::string payloadValueText(const boost::json::value& value);

/// Reads "aps"/"alert", "srNumber", "usecase" and the optional "pagename", "target", "targetTree", "build"
/// and "metrics" from a push's user info; for the alert "mark", its "label" alone. A Failure with the reason
/// when "aps" is missing or not an object, "alert", "srNumber" or "usecase" is missing, "build" is not a text
/// of at most 128 bytes, "metrics" is not a list of metric group names, or a mark's "label" is missing or not
/// a label (see checkMarkerLabel).
Result<RemoteCommand> parseRemoteCommand(const boost::json::object& userInfo);

/// @brief The collector operation a command word selects. Matching is exact and case-sensitive.
enum class CommandAction { Start, Stop, StartOverall, StopOverall, Mark, None };
CommandAction commandAction(std::string_view command);

/// @brief A push as the agent acts on it, read once where it arrives: the payload's console text, its
/// command and names (or why it is not acted on), the action, and for a start the process it measures.
struct PushCommand {
    std::string echo;                      ///< the user info in the console's bracket form
    Result<RemoteCommand> payload;         ///< the command word and names, or why the push is not acted on
    CommandAction action = CommandAction::None;
    std::optional<ResolvedTarget> target;  ///< a start's target (the payload's, else the agent's); none: the system alone
};

/// Reads a push's user info into the command the agent acts on, resolving a start's target with
/// `targets`. The Failure, when that target cannot be measured (see TargetResolver::resolve).
Result<PushCommand> readPush(const boost::json::object& userInfo, TargetResolver& targets);

/// The answer to a delivered push, naming what the agent does with it: {"action":"start"} (or "stop",
/// "startoverall", "stopoverall"), or {"action":"none","reason":...}. A mark's answer says which
/// measurements it applied to, which only the main thread knows (see markAnswer).
std::string pushDecision(const PushCommand& command);

/// A mark's answer: {"action":"mark","measurements":["push","overall"]} naming the measurements it applied
/// to (with "refused": {"page": reason} for those that refused it), or {"action":"none","reason":...} when
/// it applied to none: no measurement running, or the reason they refused it.
std::string markAnswer(const std::vector<std::string>& applied, const std::vector<std::pair<std::string, std::string>>& refused);

}  // namespace perfagent

#pragma once

#include "collector/target.hpp"
#include "base/result.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace perfagent {

struct HttpRoute;
class MainThreadHandoff;

/// The longest build the page may name.
inline constexpr std::size_t kMaxScreenBuildBytes = 128;

/// @brief The texts of the operator screen's two fields.
struct ScreenFields {
    std::string useCaseName;
    std::string srNumber;
};

/// @brief One file of the operator page as served: its request path, media type and content.
struct ScreenFile {
    std::string path;
    std::string contentType;
    std::string body;
};

/// The page (Main.html, served as "/"), its scripts and its style sheet, read from `resources` at start;
/// the Failure names the file that cannot be read.
Result<std::vector<ScreenFile>> readScreenFiles(const std::filesystem::path& resources);

/// @brief The on-display screen, as its page reaches it. Every call happens on the main thread.
class ScreenHost {
public:
    virtual ~ScreenHost() = default;
    /// The fields' current texts.
    virtual ScreenFields screenFields() = 0;
    /// Sets the fields' texts, then runs the screen's Start action measuring `target` as the page's
    /// request resolved it (nothing: the system alone; a Failure: the start does not happen) of build
    /// `build` (empty: none named). Fails saying why it did not start, when it did not.
    virtual Result<void> screenStart(std::string useCaseName, std::string srNumber,
                                     const Result<std::optional<ResolvedTarget>>& target, std::string build) = 0;
    /// Runs the screen's Stop action.
    virtual void screenStop() = 0;
    /// Marks every running measurement with `label`, as a push's mark does; answers the JSON a push's mark
    /// is answered with.
    virtual std::string screenMark(std::string label) = 0;
    /// The live view's JSON (see screenStateJson) with the samples numbered above `since`.
    virtual std::string screenState(std::int64_t since) = 0;
};

/// The screen's page and its requests: `GET <path>` serves each of `files` (no other file is served); `GET /screen/fields` answers the fields'
/// texts as JSON once the main thread has read them, and `GET /screen/state?since=N` the live view
/// likewise (400 for a `since` that is not a whole number from 0 to kLargestSince); `GET /screen/processes`
/// lists `processes` as `[{"pid", "name", "command", "user", "rss"}]` by name, read on the network thread
/// at most once a second. `POST /screen/actions/start` (JSON `{"useCaseName": …, "srNumber": …, "target":
/// …, "build": …}`, an absent field is empty text, a build at most 128 bytes; the target resolved by
/// `targets` on the network thread), `POST /screen/actions/stop` (an empty body or a JSON object) and
/// `POST /screen/actions/mark` (JSON `{"label": …}`, a label checkMarkerLabel accepts, else 400 with the
/// reason) reach `host` on the main thread and are answered 202 (a start that did not happen: 409 with the
/// reason; a mark: with the host's answer). Actions must be
/// same-origin JSON (403 for a foreign Origin, 415 for another media type, 400 for other bodies); every
/// route answers only requests addressed to this machine (no DNS rebinding), and 503 when the main thread
/// has too much waiting already.
std::vector<HttpRoute> screenRoutes(std::vector<ScreenFile> files, MainThreadHandoff& handoff, ScreenHost& host,
                                    ProcessList& processes, TargetResolver& targets);

}  // namespace perfagent

#pragma once

#include "base/result.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

inline constexpr std::size_t kDeviceTokenBytes = 32;

/// @brief The device token's bytes.
struct DeviceToken {
    std::vector<std::uint8_t> bytes;
    /// A line for the log: the token file or its directory is readable by other users.
    std::optional<std::string> warning = std::nullopt;
};

/// Where the token is kept under the agent's home.
std::filesystem::path deviceTokenPath(const std::filesystem::path& home);

/// The device's push token: read from `<home>/Library/device-token`, or, when that file does not exist,
/// 32 new bytes from the OS random source, stored there first.
///
/// The file holds the token as 64 hex digits and a line break, so an operator can read it into a push
/// request's Authorization header. It is created with mode 0600 (the directory 0700 when it has to be
/// made) and appears complete or not at all: it is written to a temporary file that is then linked
/// into place, and when another process linked its own token first, that one is used.
///
/// A file that is there but does not hold a token is an error, not a reason to make a new one: the
/// collection server and whoever sends pushes may hold the old token, and replacing it silently would
/// turn every later push away with no clue why. The error names the file; removing it makes a new token.
Result<DeviceToken> loadOrCreateDeviceToken(const std::filesystem::path& home);

/// The token's text: two lower-case hex digits per byte, no separator ("000aff"; empty for none).
std::string tokenText(std::span<const std::uint8_t> token);

/// The device-token upload's body: the JSON object {"DeviceToken" : text}, pretty-printed.
std::string deviceTokenDocument(std::string_view text);

}  // namespace perfagent

#pragma once

#include "base/result.hpp"
#include "os/unique_fd.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// The agent's home on this host: `$XDG_DATA_HOME/perfagent` when XDG_DATA_HOME holds an absolute
/// path, else `$HOME/.local/share/perfagent` (the password database's home when HOME is unset).
std::filesystem::path defaultHome();
/// The same rule on given values of XDG_DATA_HOME and HOME (null when unset).
std::filesystem::path defaultHome(const char* xdgDataHome, const char* home);

/// Creates `path` and its missing parents with mode 0700 (directories already there are left as they
/// are); fails with "cannot create PATH: REASON" when it is not a directory afterwards.
Result<void> makePrivateDirectories(const std::filesystem::path& path);

/// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed (a program started with `2>&-`), so
/// that no descriptor opened later lands there: output meant for the console or the log would reach it,
/// and redirecting standard error would replace it. Called first thing in main.
void openStandardDescriptors();

/// Sends everything written to standard error from now on to the end of the file at `path`, which is
/// created with mode 0600 when missing (as freopen with mode "a+"). The stream and its descriptor 2 stay the same
/// objects, so output of the C library and of child processes follows. On failure standard error stays
/// where it was.
Result<void> redirectStderr(const std::filesystem::path& path);

/// The path of resource `name`.`type` in `resourcesDirectory`, or nothing when there is no such file.
std::optional<std::filesystem::path> pathForResource(const std::filesystem::path& resourcesDirectory,
                                                     std::string_view name, std::string_view type);

/// Opens `path` for reading (close-on-exec, non-blocking). Anything but a regular file is refused, without
/// waiting on a FIFO or device, and with `followSymlinks` false so is a symbolic link: the Failure's line
/// names the path, its code is the errno (EINVAL for a file that is not regular).
Result<UniqueFd> openRegularFile(const std::filesystem::path& path, bool followSymlinks);

/// The whole content of the regular file at `path` (opened as openRegularFile does, following symbolic
/// links).
Result<std::string> readRegularFile(const std::filesystem::path& path);

}  // namespace perfagent

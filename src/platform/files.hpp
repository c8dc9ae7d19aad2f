#pragma once

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
/// are); false when it is not a directory afterwards.
bool makePrivateDirectories(const std::filesystem::path& path);

/// `<home>/Documents`, created (with any missing parents, mode 0700) when missing; nothing when it cannot
/// be created or is not a directory.
std::optional<std::filesystem::path> documentsDirectory(const std::filesystem::path& home);

/// The log file's name for a launch at `secondsSince1970`: the instant in UTC to the whole second,
/// "yyyy-MM-dd HH:mm:ss +0000.log".
std::string logFileName(double secondsSince1970);

/// Removes from `directory` all but the newest `keep` log files (named as logFileName names them, so
/// by name is by age); 0 keeps all. Other files are left alone.
void trimLogFiles(const std::filesystem::path& directory, std::size_t keep);

/// Sends everything written to standard error from now on to the end of the file at `path`, which is
/// created with mode 0600 when missing (as freopen with mode "a+"). The stream and its descriptor 2 stay the same
/// objects, so output of the C library and of child processes follows. On failure answers false and
/// standard error stays where it was.
bool redirectStderr(const std::filesystem::path& path);

/// The path of resource `name`.`type` in `resourcesDirectory`, or nothing when there is no such file.
std::optional<std::filesystem::path> pathForResource(const std::filesystem::path& resourcesDirectory,
                                                     std::string_view name, std::string_view type);

/// Opens `path` for reading (close-on-exec, non-blocking) and answers the descriptor, which the caller
/// closes. Anything but a regular file is refused, without waiting on a FIFO or device, and with
/// `followSymlinks` false so is a symbolic link: answers -1, sets errno and a one-line `error` naming the path.
int openRegularFile(const std::filesystem::path& path, bool followSymlinks, std::string& error);

/// The whole content of the regular file at `path` (opened as openRegularFile does, following symbolic
/// links); nothing, with `error` set, when it cannot be read.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::string& error);

}  // namespace perfagent

#pragma once

#include "base/result.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace perfagent {

/// `<home>/Documents`, created (with any missing parents, mode 0700) when missing; fails saying why when it
/// cannot be created or is not a directory.
Result<std::filesystem::path> documentsDirectory(const std::filesystem::path& home);

/// The log file's name for a launch at `secondsSince1970`: the instant in UTC to the whole second,
/// "yyyy-MM-dd HH:mm:ss +0000.log".
std::string logFileName(double secondsSince1970);

/// Removes from `directory` all but `keep` log files: `current` (this launch's, a file name) and the newest
/// `keep` - 1 others (named as logFileName names them, so by name is by age, unless the clock was set back);
/// 0 keeps all. Other files are left alone.
void trimLogFiles(const std::filesystem::path& directory, std::size_t keep, const std::filesystem::path& current);

}  // namespace perfagent

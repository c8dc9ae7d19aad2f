#pragma once

#include "platform/result.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief One option of a command line: its flag and the value given as `--flag=value`, if any.
struct CommandOption {
    std::string flag;
    std::optional<std::string> value;
};

/// @brief Walks both programs' command lines: `--flag`, `--flag VALUE` and `--flag=VALUE`.
class CommandOptions {
public:
    explicit CommandOptions(const std::vector<std::string>& arguments) : arguments_(arguments) {}
    /// The next option, `--flag=value` split at the first '='; nothing after the last.
    std::optional<CommandOption> next();
    /// The option's value: the one given with '=', else the next argument (then taken); nothing when neither.
    std::optional<std::string> takeValue(const CommandOption& option);
    /// takeValue for a flag that must have one; without one, the Failure "option F needs a value (see --help)".
    Result<std::string> requireValue(const CommandOption& option);
    /// "unknown option 'ARG' (see --help)", ARG the last option as it was given.
    std::string unknownOption() const;

private:
    const std::vector<std::string>& arguments_;
    std::size_t next_ = 0;
};

/// How a program's start ends on its command line: 2 after "PROGRAM: ERROR" on stderr when it did not
/// parse, 0 after `usage` (--help) or "PROGRAM VERSION" (--version) on stdout; nothing when the program
/// runs on.
std::optional<int> exitBeforeRun(std::string_view program, bool parsed, const std::string& error, bool help,
                                 bool version, const std::string& usage);

}  // namespace perfagent

#pragma once

#include "base/result.hpp"

#include <cstddef>
#include <cstdio>
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

/// How a program's start ends on its command line as its parser answered it (`Options` has `help` and
/// `version`): 2 after "PROGRAM: ERROR" on stderr when it did not parse, 0 after `usage` (--help) or
/// "PROGRAM VERSION" (--version) on stdout; nothing when the program runs on.
template <typename Options>
std::optional<int> exitBeforeRun(std::string_view program, const Result<Options>& parsed, const std::string& usage) {
    const std::string name(program);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), parsed.error().message.c_str());
        return 2;
    }
    if (parsed->help) std::fputs(usage.c_str(), stdout);
    if (parsed->version && !parsed->help) std::printf("%s %s\n", name.c_str(), PERFAGENT_VERSION);
    if (parsed->help || parsed->version) return 0;
    return std::nullopt;
}

}  // namespace perfagent

#include "platform/command_options.hpp"

#include <cstdio>

namespace perfagent {

std::optional<CommandOption> CommandOptions::next() {
    if (next_ >= arguments_.size()) return std::nullopt;
    CommandOption option{arguments_[next_++], std::nullopt};
    if (const auto equals = option.flag.find('='); option.flag.starts_with("--") && equals != std::string::npos) {
        option.value = option.flag.substr(equals + 1);
        option.flag.resize(equals);
    }
    return option;
}

std::optional<std::string> CommandOptions::takeValue(const CommandOption& option) {
    if (option.value) return option.value;
    if (next_ < arguments_.size()) return arguments_[next_++];
    return std::nullopt;
}

Result<std::string> CommandOptions::requireValue(const CommandOption& option) {
    if (auto value = takeValue(option)) return std::move(*value);
    return failure("option " + option.flag + " needs a value (see --help)");
}

std::string CommandOptions::unknownOption() const {
    return "unknown option '" + arguments_[next_ - 1] + "' (see --help)";
}

std::optional<int> exitBeforeRun(std::string_view program, bool parsed, const std::string& error, bool help,
                                 bool version, const std::string& usage) {
    const std::string name(program);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
        return 2;
    }
    if (help) std::fputs(usage.c_str(), stdout);
    if (version && !help) std::printf("%s %s\n", name.c_str(), PERFAGENT_VERSION);
    if (help || version) return 0;
    return std::nullopt;
}

}  // namespace perfagent

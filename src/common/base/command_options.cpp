#include "base/command_options.hpp"

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

}  // namespace perfagent

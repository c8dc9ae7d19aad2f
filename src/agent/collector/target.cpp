#include "collector/target.hpp"

#include "base/text.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace perfagent {

namespace {

void say(Platform& platform, const std::string& line) {
    platform.console.println(line);
    if (platform.diagnostics) platform.diagnostics("perfagent: " + line);
}

std::string described(const ProcessInfo& process) {
    return consoleText(process.name) + " (pid " + std::to_string(process.identity.pid) + ")";
}

}  // namespace

std::optional<TargetChoice> chooseTarget(const std::optional<TargetChoice>& push, const std::optional<TargetChoice>& page,
                                         const std::optional<TargetChoice>& option) {
    for (const auto* choice : {&push, &page, &option})
        if (*choice && !(*choice)->pidOrName.empty()) return **choice;
    return std::nullopt;
}

ProcessTarget::ProcessTarget(ProcSource& source, TargetChoice choice, const ProcessInfo& process,
                             std::unique_ptr<ProcessMeter> meter)
    : source_(&source),
      choice_(std::move(choice)),
      byName_(!std::all_of(choice_.pidOrName.begin(), choice_.pidOrName.end(),
                           [](char c) { return c >= '0' && c <= '9'; })) {
    take(process, std::move(meter));
}

void ProcessTarget::take(const ProcessInfo& process, std::unique_ptr<ProcessMeter> meter) {
    name_ = process.name;
    identity_ = process.identity;
    gone_ = false;
    meter_ = std::move(meter);
    // A first reading, so that the next one gives the share since now.
    meter_->restart();
}

namespace {

/// Why `process` cannot be followed, from what opening it answered (ESRCH, EACCES).
Failure openRefusal(const Failure& opened, const TargetChoice& choice, const ProcessInfo& process) {
    const std::string named = "target " + consoleText(choice.pidOrName) + ": " + described(process);
    if (opened.code == std::errc::permission_denied)
        return Failure(named + " may not be read by this user", std::make_error_code(std::errc::permission_denied));
    return Failure(named + " cannot be read (it may have exited)", std::make_error_code(std::errc::no_such_process));
}

}  // namespace

Result<std::optional<ResolvedTarget>> TargetResolver::resolve(const std::optional<TargetChoice>& push,
                                                              const std::optional<TargetChoice>& page) {
    const auto choice = chooseTarget(push, page, option_);
    if (!choice) return std::optional<ResolvedTarget>();
    const std::string named = "target " + consoleText(choice->pidOrName);
    const auto notFound = [&](std::string why) {
        return Failure(named + ": " + std::move(why), std::make_error_code(std::errc::no_such_process));
    };
    if (processes_ == nullptr) return notFound("targets are not available on this host");
    auto process = findProcess(processes_->processes(), choice->pidOrName);
    if (!process) {
        // A proc mounted with hidepid lists only this user's processes: another user's pid is not "no such".
        if (processes_->hiddenFromUs(choice->pidOrName))
            return Failure(named + ": pid " + choice->pidOrName + " belongs to another user and may not be read",
                           std::make_error_code(std::errc::permission_denied));
        return notFound("no such process");
    }
    // Opened and closed at once: the main thread opens it again for its measurement.
    if (const auto opened = source_.open(process->identity, choice->tree); !opened)
        return openRefusal(opened.error(), *choice, *process);
    return std::optional<ResolvedTarget>(ResolvedTarget{*choice, std::move(*process)});
}

Result<ProcessTarget> ProcessTarget::follow(ProcSource& source, const ResolvedTarget& target) {
    auto opened = source.open(target.process.identity, target.choice.tree);
    if (!opened) return openRefusal(opened.error(), target.choice, target.process);
    return ProcessTarget(source, target.choice, target.process, std::make_unique<ProcessMeter>(std::move(*opened)));
}

void ProcessTarget::lost(Platform& platform) {
    if (gone_) return;
    gone_ = true;
    say(platform, "target " + consoleText(name_) + " (pid " + std::to_string(identity_.pid) + ") exited");
}

bool ProcessTarget::begin(Platform& platform) {
    if (!meter_) return false;
    if (!gone_) return true;
    if (!byName_ || !platform.processes) return false;
    const auto process = findProcess(platform.processes->processes(), choice_.pidOrName);
    if (!process || process->identity == identity_) return false;
    auto opened = source_->open(process->identity, choice_.tree);
    if (!opened) return false;
    take(*process, std::make_unique<ProcessMeter>(std::move(*opened)));
    say(platform, "target " + consoleText(choice_.pidOrName) + " found again: " + described(*process));
    return true;
}

bool ProcessTarget::end(Platform& platform, int error) {
    if (error == ESRCH) lost(platform);
    if (error == 0 && meter_ && meter_->unkept() > 0 && !std::exchange(saidUnkept_, true)) {
        say(platform, "target " + consoleText(name_) + " (pid " + std::to_string(identity_.pid) + "): " +
                          std::to_string(meter_->unkept()) +
                          " of its processes are read without kept descriptors: the agent's share of the "
                          "descriptor limit is in use");
    }
    return error == 0 && !gone_;
}

}  // namespace perfagent

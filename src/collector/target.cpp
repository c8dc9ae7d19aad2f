#include "collector/target.hpp"

#include "report/text.hpp"

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

/// Finds the process `choice` names and opens it with `open(identity)` (a Result); the process, or
/// nothing with the refusal.
template <typename Open>
std::optional<ProcessInfo> resolveTarget(ProcessList* processes, const TargetChoice& choice, Open&& open,
                                         TargetRefusal& refusal) {
    const std::string named = "target " + consoleText(choice.pidOrName);
    if (processes == nullptr) {
        refusal = {TargetRefusal::Kind::NotFound, named + ": targets are not available on this host"};
        return std::nullopt;
    }
    auto process = findProcess(processes->processes(), choice.pidOrName);
    if (!process) {
        refusal = {TargetRefusal::Kind::NotFound, named + ": no such process"};
        return std::nullopt;
    }
    const auto opened = open(process->identity);
    if (!opened && opened.error().code == std::errc::permission_denied) {
        refusal = {TargetRefusal::Kind::NotPermitted, named + ": " + described(*process) + " may not be read by this user"};
        return std::nullopt;
    }
    if (!opened) {
        refusal = {TargetRefusal::Kind::NotFound, named + ": " + described(*process) + " cannot be read (it may have exited)"};
        return std::nullopt;
    }
    return std::move(*process);
}

}  // namespace

std::optional<TargetRefusal> checkTarget(ProcessList* processes, ProcSource& source, const TargetChoice& choice) {
    TargetRefusal refusal;
    // Opened and closed at once: no reading is kept.
    const auto open = [&](ProcessIdentity identity) { return source.open(identity, choice.tree); };
    if (resolveTarget(processes, choice, open, refusal)) return std::nullopt;
    return refusal;
}

std::optional<ProcessTarget> ProcessTarget::find(Platform& platform, ProcSource& source, const TargetChoice& choice,
                                                 std::string& whyNot) {
    std::unique_ptr<ProcessHandle> handle;
    TargetRefusal refusal;
    const auto process = resolveTarget(
        platform.processes, choice,
        [&](ProcessIdentity identity) {
            auto opened = source.open(identity, choice.tree);
            if (opened) handle = std::move(*opened);
            return opened;
        },
        refusal);
    if (!process) {
        whyNot = std::move(refusal.why);
        return std::nullopt;
    }
    return ProcessTarget(source, choice, *process, std::make_unique<ProcessMeter>(std::move(handle)));
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

#include "collector/target.hpp"

#include "report/text.hpp"

#include <algorithm>

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

ProcessTarget::ProcessTarget(TargetChoice choice, const ProcessInfo& process, std::unique_ptr<Probes> probes)
    : choice_(std::move(choice)),
      byName_(!std::all_of(choice_.pidOrName.begin(), choice_.pidOrName.end(),
                           [](char c) { return c >= '0' && c <= '9'; })),
      probes_(std::move(probes)) {
    take(process);
}

void ProcessTarget::take(const ProcessInfo& process) {
    name_ = process.name;
    identity_ = process.identity;
    gone_ = false;
    // A first reading, so that the next one gives each thread's share since now, not over its life.
    probes_->cpu.appUsage();
}

namespace {

/// Why `process` cannot be followed, from what opening its task answered; nothing when it can.
std::optional<Failure> openRefusal(KernReturn result, const TargetChoice& choice, const ProcessInfo& process) {
    const std::string named = "target " + consoleText(choice.pidOrName) + ": " + described(process);
    if (result == kKernProtectionFailure)
        return Failure(named + " may not be read by this user",
                       std::make_error_code(std::errc::permission_denied));
    if (result != kKernSuccess)
        return Failure(named + " cannot be read (it may have exited)", std::make_error_code(std::errc::no_such_process));
    return std::nullopt;
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
    TaskPort task = kTaskSelf;
    const KernReturn result = kernel_.taskForPid(process->identity, choice->tree, &task);
    if (result == kKernSuccess) kernel_.taskRelease(task);
    if (auto refusal = openRefusal(result, *choice, *process)) return std::move(*refusal);
    return std::optional<ResolvedTarget>(ResolvedTarget{*choice, std::move(*process)});
}

std::optional<ProcessTarget> ProcessTarget::follow(Kernel& kernel, const ResolvedTarget& target, std::string& whyNot) {
    auto probes = std::make_unique<Probes>(kernel);
    const KernReturn result = probes->follow(target.process.identity, target.choice.tree);
    if (auto refusal = openRefusal(result, target.choice, target.process)) {
        whyNot = std::move(refusal->message);
        return std::nullopt;
    }
    return ProcessTarget(target.choice, target.process, std::move(probes));
}

void ProcessTarget::lost(Platform& platform) {
    if (gone_) return;
    gone_ = true;
    say(platform, "target " + consoleText(name_) + " (pid " + std::to_string(identity_.pid) + ") exited");
}

bool ProcessTarget::begin(Platform& platform) {
    if (!gone_) return true;
    if (!byName_ || !platform.processes) return false;
    const auto process = findProcess(platform.processes->processes(), choice_.pidOrName);
    if (!process || process->identity == identity_) return false;
    if (probes_->follow(process->identity, choice_.tree) != kKernSuccess) return false;
    take(*process);
    say(platform, "target " + consoleText(choice_.pidOrName) + " found again: " + described(*process));
    return true;
}

bool ProcessTarget::end(Platform& platform) {
    const KernReturn result = probes_->taskResult();
    if (result == kKernTerminated) lost(platform);
    return result == kKernSuccess && !gone_;
}

}  // namespace perfagent

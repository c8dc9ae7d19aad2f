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

std::optional<ProcessTarget> ProcessTarget::find(Platform& platform, Kernel& kernel, const TargetChoice& choice,
                                                 std::string& whyNot) {
    const std::string named = "target " + consoleText(choice.pidOrName);
    if (!platform.processes) {
        whyNot = named + ": targets are not available on this host";
        return std::nullopt;
    }
    const auto process = findProcess(platform.processes->processes(), choice.pidOrName);
    if (!process) {
        whyNot = named + ": no such process";
        return std::nullopt;
    }
    auto probes = std::make_unique<Probes>(kernel);
    const KernReturn result = probes->follow(process->identity, choice.tree);
    if (result == kKernProtectionFailure) {
        whyNot = named + ": " + described(*process) + " may not be read by this user";
        return std::nullopt;
    }
    if (result != kKernSuccess) {
        whyNot = named + ": " + described(*process) + " cannot be read (it may have exited)";
        return std::nullopt;
    }
    return ProcessTarget(choice, *process, std::move(probes));
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

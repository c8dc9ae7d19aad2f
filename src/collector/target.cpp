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

/// Finds the process `choice` names and opens it with `open(identity)`, a kernel result; the process,
/// or nothing with the refusal.
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
    const KernReturn result = open(process->identity);
    if (result == kKernProtectionFailure) {
        refusal = {TargetRefusal::Kind::NotPermitted, named + ": " + described(*process) + " may not be read by this user"};
        return std::nullopt;
    }
    if (result != kKernSuccess) {
        refusal = {TargetRefusal::Kind::NotFound, named + ": " + described(*process) + " cannot be read (it may have exited)"};
        return std::nullopt;
    }
    return std::move(*process);
}

}  // namespace

std::optional<TargetRefusal> checkTarget(ProcessList* processes, Kernel& kernel, const TargetChoice& choice) {
    TargetRefusal refusal;
    const auto open = [&](ProcessIdentity identity) {
        TaskPort task = kTaskSelf;
        const KernReturn result = kernel.taskForPid(identity, choice.tree, &task);
        if (result == kKernSuccess) kernel.taskRelease(task);
        return result;
    };
    if (resolveTarget(processes, choice, open, refusal)) return std::nullopt;
    return refusal;
}

std::optional<ProcessTarget> ProcessTarget::find(Platform& platform, Kernel& kernel, const TargetChoice& choice,
                                                 std::string& whyNot) {
    auto probes = std::make_unique<Probes>(kernel);
    TargetRefusal refusal;
    const auto process = resolveTarget(
        platform.processes, choice, [&](ProcessIdentity identity) { return probes->follow(identity, choice.tree); },
        refusal);
    if (!process) {
        whyNot = std::move(refusal.why);
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

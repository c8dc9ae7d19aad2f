#include "platform/processes.hpp"

#include "platform/proc_parsers.hpp"
#include "os/unique_fd.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace perfagent {

namespace {

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

/// The whole of a small proc file; empty when it cannot be read (the process has gone).
std::string readFile(int directory, const std::string& path) {
    const UniqueFd fd(::openat(directory, path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd) return text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd.get(), chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

std::string userName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char strings[1024];
    if (::getpwuid_r(uid, &entry, strings, sizeof strings, &found) == 0 && found != nullptr) return found->pw_name;
    return std::to_string(uid);
}

std::string_view baseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<ProcessInfo> LinuxProcessList::processes() {
    std::vector<ProcessInfo> out;
    const UniqueDir root(::opendir(procRoot_.c_str()));
    if (!root) return out;
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<std::pair<uid_t, std::string>> users;  // each owner's name looked up once per listing
    const int rootFd = ::dirfd(root.get());
    while (const dirent* entry = ::readdir(root.get())) {
        const std::string_view name = entry->d_name;
        if (!allDigits(name)) continue;
        const std::string dir(name);
        const std::string statText = readFile(rootFd, dir + "/stat");
        const auto stat = parseTaskStat(statText);
        if (!stat || hasExited(*stat)) continue;
        struct stat owner{};
        if (::fstatat(rootFd, dir.c_str(), &owner, 0) != 0) continue;

        ProcessInfo& info = out.emplace_back();
        std::from_chars(name.data(), name.data() + name.size(), info.identity.pid);
        info.identity.startTime = stat->startTime;
        info.name = stat->comm;
        info.commandLine = readFile(rootFd, dir + "/cmdline");
        while (!info.commandLine.empty() && info.commandLine.back() == '\0') info.commandLine.pop_back();
        std::replace(info.commandLine.begin(), info.commandLine.end(), '\0', ' ');
        auto user = std::find_if(users.begin(), users.end(), [&](const auto& u) { return u.first == owner.st_uid; });
        if (user == users.end()) user = users.insert(users.end(), {owner.st_uid, userName(owner.st_uid)});
        info.user = user->second;
        if (const auto pages = parseStatm(readFile(rootFd, dir + "/statm"))) {
            info.residentBytes = pages->resident * static_cast<std::uint64_t>(page > 0 ? page : 4096);
        }
    }
    std::sort(out.begin(), out.end(), [](const ProcessInfo& a, const ProcessInfo& b) {
        return a.identity.pid < b.identity.pid;
    });
    return out;
}

bool LinuxProcessList::hiddenFromUs(std::string_view pidOrName) {
    Pid pid = 0;
    if (!allDigits(pidOrName)) return false;
    const auto parsed = std::from_chars(pidOrName.data(), pidOrName.data() + pidOrName.size(), pid);
    // Signal 0 sends nothing: it only checks that the process exists and whether we may signal it.
    return parsed.ec == std::errc() && pid > 0 && ::kill(pid, 0) != 0 && errno == EPERM;
}

boost::system::result<ProcessInfo> findProcess(const std::vector<ProcessInfo>& running, std::string_view pidOrName) {
    if (pidOrName.empty()) return boost::system::errc::make_error_code(boost::system::errc::invalid_argument);
    const ProcessInfo* best = nullptr;
    if (allDigits(pidOrName)) {
        Pid pid = 0;
        const auto parsed = std::from_chars(pidOrName.data(), pidOrName.data() + pidOrName.size(), pid);
        for (const ProcessInfo& p : running) {
            if (parsed.ec == std::errc() && p.identity.pid == pid) best = &p;
        }
    } else {
        for (const ProcessInfo& p : running) {
            // argv[0] is the command line up to its first blank (arguments were joined by blanks).
            const std::string_view argv0 = std::string_view(p.commandLine).substr(0, p.commandLine.find(' '));
            if (p.name != pidOrName && baseName(argv0) != pidOrName) continue;
            const auto key = [](const ProcessInfo* q) { return std::pair(q->identity.startTime, q->identity.pid); };
            if (best == nullptr || key(&p) < key(best)) best = &p;
        }
    }
    if (best == nullptr) return boost::system::errc::make_error_code(boost::system::errc::no_such_process);
    return *best;
}

}  // namespace perfagent

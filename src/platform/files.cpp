#include "platform/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <system_error>
#include <vector>

namespace perfagent {

std::filesystem::path defaultHome() { return defaultHome(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")); }

std::filesystem::path defaultHome(const char* xdgDataHome, const char* home) {
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') return std::filesystem::path(xdgDataHome) / "perfagent";
    std::filesystem::path base;
    if (home != nullptr && home[0] != '\0') {
        base = home;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr) {
            base = found->pw_dir;
        } else {
            base = "/tmp";
        }
    }
    return base / ".local" / "share" / "perfagent";
}

bool makePrivateDirectories(const std::filesystem::path& path) {
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (::mkdir(partial.c_str(), S_IRWXU) != 0 && errno != EEXIST) return false;
    }
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

std::optional<std::filesystem::path> documentsDirectory(const std::filesystem::path& home) {
    auto directory = home / "Documents";
    if (!makePrivateDirectories(directory)) return std::nullopt;
    return directory;
}

std::string logFileName(double secondsSince1970) {
    const auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return "0000-00-00 00:00:00 +0000.log";
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000.log", &utc);
    return std::string(text, length);
}

namespace {
/// "yyyy-MM-dd HH:mm:ss +0000.log"
bool isLogFileName(const std::string& name) {
    constexpr std::string_view pattern = "dddd-dd-dd dd:dd:dd +0000.log";
    if (name.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (pattern[i] == 'd' ? (name[i] < '0' || name[i] > '9') : name[i] != pattern[i]) return false;
    return true;
}
}  // namespace

void trimLogFiles(const std::filesystem::path& directory, std::size_t keep) {
    if (keep == 0) return;
    std::vector<std::filesystem::path> logs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec))
        if (isLogFileName(entry.path().filename().string()) && entry.is_regular_file(ec)) logs.push_back(entry.path());
    if (logs.size() <= keep) return;
    std::sort(logs.begin(), logs.end(), std::greater<>());
    for (std::size_t i = keep; i < logs.size(); ++i) std::filesystem::remove(logs[i], ec);
}

bool redirectStderr(const std::filesystem::path& path) {
    // Open first and only then move descriptor 2: freopen closes the old stream even when the new open
    // fails, which would lose standard error altogether.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::fflush(stderr);
    const bool moved = ::dup2(fd, STDERR_FILENO) >= 0;
    ::close(fd);
    return moved;
}

std::optional<std::filesystem::path> pathForResource(const std::filesystem::path& resourcesDirectory,
                                                     std::string_view name, std::string_view type) {
    auto path = resourcesDirectory / (std::string(name) + "." + std::string(type));
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    return path;
}

int openRegularFile(const std::filesystem::path& path, bool followSymlinks, std::string& error) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for a peer; it is refused below anyway.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followSymlinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        const int why = errno;
        error = path.string() + (why == ELOOP && !followSymlinks ? ": is a symbolic link" : ": " + std::string(std::strerror(why)));
        errno = why;
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        error = path.string() + ": not a regular file";
        errno = EINVAL;
        return -1;
    }
    return fd;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::string& error) {
    const int fd = openRegularFile(path, true, error);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = path.string() + ": " + std::strerror(errno);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!error.empty()) return std::nullopt;
    return text;
}

}  // namespace perfagent

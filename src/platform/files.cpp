#include "platform/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

std::optional<std::filesystem::path> documentsDirectory(const std::filesystem::path& home) {
    auto directory = home / "Documents";
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error || !std::filesystem::is_directory(directory, error)) return std::nullopt;
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

bool redirectStderr(const std::filesystem::path& path) {
    // Open first and only then move descriptor 2: freopen closes the old stream even when the new open
    // fails, which would lose standard error altogether.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
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

}  // namespace perfagent

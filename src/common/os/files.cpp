#include "os/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
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

Result<void> makePrivateDirectories(const std::filesystem::path& path) {
    const auto failed = [&](int error) {
        return systemFailure("cannot create " + path.string() + ": " + std::strerror(error), error);
    };
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (::mkdir(partial.c_str(), S_IRWXU) != 0 && errno != EEXIST) return failed(errno);
    }
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) return failed(ENOTDIR);
    return {};
}

void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open answers the lowest free descriptor: this one, since those below it are open by now.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened != fd && opened >= 0) ::close(opened);
    }
}

Result<void> redirectStderr(const std::filesystem::path& path) {
    // Open first and only then move descriptor 2: freopen closes the old stream even when the new open
    // fails, which would lose standard error altogether.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return systemFailure(std::strerror(errno), errno);
    std::fflush(stderr);
    const bool moved = ::dup2(fd, STDERR_FILENO) >= 0;
    const int error = errno;
    ::close(fd);
    if (!moved) return systemFailure(std::strerror(error), error);
    return {};
}

std::optional<std::filesystem::path> pathForResource(const std::filesystem::path& resourcesDirectory,
                                                     std::string_view name, std::string_view type) {
    auto path = resourcesDirectory / (std::string(name) + "." + std::string(type));
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    return path;
}

Result<UniqueFd> openRegularFile(const std::filesystem::path& path, bool followSymlinks) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for a peer; it is refused below anyway.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followSymlinks ? 0 : O_NOFOLLOW)));
    if (!fd) {
        const int why = errno;
        return systemFailure(path.string() + (why == ELOOP && !followSymlinks ? ": is a symbolic link"
                                                                             : ": " + std::string(std::strerror(why))),
                             why);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return systemFailure(path.string() + ": not a regular file", EINVAL);
    return fd;
}

Result<std::string> readRegularFile(const std::filesystem::path& path) {
    auto fd = openRegularFile(path, true);
    if (!fd) return fd.error();
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd->get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int why = errno;
            return systemFailure(path.string() + ": " + std::strerror(why), why);
        }
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace perfagent

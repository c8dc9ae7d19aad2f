#include "identity/device_token.hpp"

#include "os/files.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace perfagent {

namespace {

constexpr std::size_t kLargestTokenFile = 256;  // a token file is 65 bytes; anything far bigger is not one

std::string describeErrno(std::string_view what, const std::filesystem::path& path, int error) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

Failure fileFailure(std::string_view what, const std::filesystem::path& path, int error) {
    return systemFailure(describeErrno(what, path, error), error);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// Writes all of `text`; answers 0 or the error (ENOSPC for a write that took nothing, which sets no errno).
int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

/// A warning when `path` can be read by other users than its owner.
std::optional<std::string> readableByOthers(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || (status.st_mode & (S_IRGRP | S_IROTH)) == 0) return std::nullopt;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return "perfagent: warning: " + path.string() + " is readable by other users (mode " + mode +
           "); the device token lets whoever reads it drive the agent";
}

/// Reads and checks the token file; nothing when it does not exist.
std::optional<Result<DeviceToken>> readToken(const std::filesystem::path& path) {
    // Not followed through a symbolic link, and a FIFO or device put in its place is refused at once.
    const auto fd = openRegularFile(path, false);
    if (!fd) {
        if (fd.error().code == std::errc::no_such_file_or_directory) return std::nullopt;
        return Result<DeviceToken>(Failure("cannot read the device token " + fd.error().message, fd.error().code));
    }
    std::string text;
    char buffer[kLargestTokenFile + 1];
    for (;;) {
        const ssize_t n = ::read(fd->get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Result<DeviceToken>(fileFailure("cannot read the device token", path, errno));
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kLargestTokenFile) break;
    }

    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::vector<std::uint8_t> token;
    if (text.size() == 2 * kDeviceTokenBytes) {
        for (std::size_t i = 0; i < text.size(); i += 2) {
            const int high = hexDigit(text[i]);
            const int low = hexDigit(text[i + 1]);
            if (high < 0 || low < 0) break;
            token.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
    }
    if (token.size() != kDeviceTokenBytes) {
        return Result<DeviceToken>(failure("the device token file " + path.string() + " does not hold " +
                                           std::to_string(2 * kDeviceTokenBytes) +
                                           " hex digits; remove it to make a new token"));
    }
    return Result<DeviceToken>(DeviceToken{std::move(token)});
}

Result<std::vector<std::uint8_t>> randomBytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int why = errno;
            return systemFailure(std::string("cannot read the OS random source: ") + std::strerror(why), why);
        }
        done += static_cast<std::size_t>(n);
    }
    return out;
}

/// Whose token stands at the path after storeToken: ours, or one another process linked there first.
enum class StoredToken { Ours, Theirs };

/// Writes `text` to a new 0600 file beside `path` and links it into place, unless another process stored
/// a token at `path` meanwhile.
Result<StoredToken> storeToken(const std::filesystem::path& path, const std::string& text) {
    std::string temporary = (path.parent_path() / ".device-token.XXXXXX").string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        const int why = errno;
        return fileFailure("cannot create a file beside", path, why);
    }
    int writeError = writeAll(fd, text);
    if (writeError == 0 && ::fsync(fd) != 0) writeError = errno;
    ::close(fd);
    if (writeError != 0) {
        ::unlink(temporary.c_str());
        return fileFailure("cannot write the device token beside", path, writeError);
    }
    // link, unlike rename, never replaces a token another process stored first.
    int result = ::link(temporary.c_str(), path.c_str());
    int error = result == 0 ? 0 : errno;
    if (result != 0 && (error == EPERM || error == EOPNOTSUPP || error == EMLINK)) {
        // A file system without hard links: a rename that refuses to replace.
        result = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
        error = result == 0 ? 0 : errno;
        if (result != 0 && (error == EINVAL || error == ENOSYS)) {
            // Nor that: create the file exclusively and write it in place.
            const int target = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            error = target < 0 ? errno : writeAll(target, text);
            if (target >= 0) {
                if (error == 0 && ::fsync(target) != 0) error = errno;
                ::close(target);
                if (error != 0) ::unlink(path.c_str());
            }
            result = error == 0 ? 0 : -1;
        }
    }
    ::unlink(temporary.c_str());
    if (result == 0) {
        const int directory = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            ::fsync(directory);
            ::close(directory);
        }
        return StoredToken::Ours;
    }
    if (error == EEXIST) return StoredToken::Theirs;
    return fileFailure("cannot store the device token as", path, error);
}

}  // namespace

std::filesystem::path deviceTokenPath(const std::filesystem::path& home) {
    return home / "Library" / "device-token";
}

Result<DeviceToken> loadOrCreateDeviceToken(const std::filesystem::path& home) {
    const auto path = deviceTokenPath(home);
    if (auto existing = readToken(path)) {
        if (auto& read = *existing) {
            read->warning = readableByOthers(path.parent_path());
            if (!read->warning) read->warning = readableByOthers(path);
        }
        return std::move(*existing);
    }

    const auto library = path.parent_path();
    if (auto made = makePrivateDirectories(library); !made) return made.error();

    auto token = randomBytes(kDeviceTokenBytes);
    if (!token) return token.error();
    const auto stored = storeToken(path, tokenText(*token) + "\n");
    if (!stored) return stored.error();
    if (*stored == StoredToken::Theirs) {
        if (auto winner = readToken(path)) return std::move(*winner);
        return failure("the device token " + path.string() + " vanished while it was being made");
    }
    return DeviceToken{std::move(*token)};
}

std::string tokenText(std::span<const std::uint8_t> token) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(token.size() * 2);
    for (const std::uint8_t byte : token) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

std::string deviceTokenDocument(std::string_view text) {
    return "{\n  \"DeviceToken\" : " + boost::json::serialize(boost::json::string(text)) + "\n}";
}

}  // namespace perfagent

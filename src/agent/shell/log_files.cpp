#include "shell/log_files.hpp"

#include "os/files.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <string_view>
#include <system_error>
#include <vector>

namespace perfagent {

Result<std::filesystem::path> documentsDirectory(const std::filesystem::path& home) {
    auto directory = home / "Documents";
    if (auto made = makePrivateDirectories(directory); !made) return made.error();
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

void trimLogFiles(const std::filesystem::path& directory, std::size_t keep, const std::filesystem::path& current) {
    if (keep == 0) return;
    std::vector<std::filesystem::path> logs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const auto name = entry.path().filename();
        if (name != current && isLogFileName(name.string()) && entry.is_regular_file(ec)) logs.push_back(entry.path());
    }
    // This launch's log is one of those kept, whatever its date: the clock may have been set back.
    const std::size_t others = keep - 1;
    if (logs.size() <= others) return;
    std::sort(logs.begin(), logs.end(), std::greater<>());
    for (std::size_t i = others; i < logs.size(); ++i) std::filesystem::remove(logs[i], ec);
}

}  // namespace perfagent

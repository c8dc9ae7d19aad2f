#include "platform/metric_files.hpp"

#include "platform/linux_proc.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace perfagent {

namespace {

// Bounds on what a host may list, so that an odd machine cannot make a sample read without end.
constexpr std::size_t kMaxZones = 64;
constexpr std::size_t kMaxCounters = 16;
constexpr std::size_t kMaxDisks = 256;
constexpr std::uint64_t kSectorBytes = 512;

int openFile(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

std::string reasonOf(const std::string& file, int error) {
    if (error == EACCES || error == EPERM) return file + " is readable only by root";
    return file + ": " + std::strerror(error);
}

/// The entries of `directory` whose names start with `prefix`, sorted; none when it cannot be listed.
std::vector<std::string> listed(const std::string& directory, std::string_view prefix) {
    std::vector<std::string> names;
    const UniqueDir dir(::opendir(directory.c_str()));
    while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && name.starts_with(prefix)) names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    return text;
}

/// Counts the entries of an open directory from its start, "." and ".." aside; nothing when it cannot be read.
std::optional<std::uint64_t> countEntries(int fd, std::vector<char>& buffer) {
    if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
    std::uint64_t count = 0;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
        if (n < 0) return std::nullopt;
        if (n == 0) return count;
        for (long at = 0; at < n;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name
            unsigned short length = 0;
            std::memcpy(&length, buffer.data() + at + 16, sizeof length);
            const char* name = buffer.data() + at + 19;
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) ++count;
            if (length == 0) return std::nullopt;
            at += length;
        }
    }
}

}  // namespace

MetricFiles::MetricFiles(std::string root) : root_(std::move(root)) {
    while (!root_.empty() && root_.back() == '/') root_.pop_back();
    buffer_.resize(4096);
}

std::optional<std::string> MetricFiles::openChecked(const std::string& file, UniqueFd& into) {
    into.reset(openFile(file));
    if (!into) return reasonOf(file, errno);
    errno = 0;  // an empty file sets none
    if (readWholeFile(into.get(), buffer_).empty()) {
        const int error = errno;
        into.reset();
        return reasonOf(file, error != 0 ? error : EIO);
    }
    return std::nullopt;
}

std::optional<std::int64_t> MetricFiles::readInteger(const UniqueFd& fd) {
    return parseSysfsInteger(readWholeFile(fd.get(), buffer_));
}

std::optional<std::string> MetricFiles::openMemory() {
    if (auto why = openChecked(path("/proc/meminfo"), meminfo_)) return why;
    if (!readMemory()) return path("/proc/meminfo") + " has no MemAvailable, SwapTotal and SwapFree lines";
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openLoad() {
    if (auto why = openChecked(path("/proc/loadavg"), loadavg_)) return why;
    if (!readLoad()) return path("/proc/loadavg") + " is not in the form \"1.00 0.50 0.25 2/100 1234\"";
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openNet() {
    if (auto why = openChecked(path("/proc/net/dev"), netDev_)) return why;
    std::vector<DeviceBytes> devices;
    if (!readNet(devices)) return path("/proc/net/dev") + " is not in its usual form";
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openDisks() {
    const std::string directory = path("/sys/block");
    std::string why = "no whole disk in " + directory + " (none has a device link)";
    disks_.clear();
    for (const std::string& name : listed(directory, "")) {
        struct stat info{};
        if (disks_.size() == kMaxDisks || ::stat((directory + "/" + name + "/device").c_str(), &info) != 0) continue;
        UniqueFd fd;
        if (auto error = openChecked(directory + "/" + name + "/stat", fd)) {
            why = *error;
            continue;
        }
        disks_.emplace_back(name, std::move(fd));
    }
    std::vector<DeviceBytes> disks;
    if (!disks_.empty() && !readDisks(disks)) return directory + "/*/stat is not in its usual form";
    if (disks_.empty()) return why;
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openThermal() {
    const std::string directory = path("/sys/class/thermal");
    std::string why = "no thermal zone in " + directory;
    zones_.clear();
    for (const std::string& zone : listed(directory, "thermal_zone")) {
        if (zones_.size() == kMaxZones) break;
        UniqueFd fd;
        const std::string file = directory + "/" + zone + "/temp";
        if (auto error = openChecked(file, fd)) {
            why = "no thermal zone could be read (" + *error + ")";
            continue;
        }
        if (readInteger(fd)) zones_.push_back(std::move(fd));
    }
    if (zones_.empty()) return why;
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openPowercap() {
    const std::string directory = path("/sys/class/powercap");
    std::string why = "no package energy counter in " + directory;
    energy_.clear();
    energyRanges_.clear();
    std::vector<std::string> packages;
    for (const std::string& zone : listed(directory, "")) {
        if (std::count(zone.begin(), zone.end(), ':') != 1 || energy_.size() == kMaxCounters) continue;
        UniqueFd nameFd(openFile(directory + "/" + zone + "/name"));
        const std::string name(trimmed(readWholeFile(nameFd.get(), buffer_)));
        if (!name.starts_with("package") || std::find(packages.begin(), packages.end(), name) != packages.end()) continue;
        UniqueFd fd;
        if (auto error = openChecked(directory + "/" + zone + "/energy_uj", fd)) {
            why = *error;
            continue;
        }
        UniqueFd rangeFd(openFile(directory + "/" + zone + "/max_energy_range_uj"));
        const auto range = readInteger(rangeFd);
        packages.push_back(name);
        energy_.push_back(std::move(fd));
        energyRanges_.push_back(range && *range > 0 ? static_cast<std::uint64_t>(*range) : 0);
    }
    if (energy_.empty()) return why;
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openBattery() {
    const std::string directory = path("/sys/class/power_supply");
    batteries_.clear();
    for (const std::string& supply : listed(directory, "")) {
        if (batteries_.size() == kMaxCounters) break;
        const std::string base = directory + "/" + supply + "/";
        const UniqueFd type(openFile(base + "type"));
        if (trimmed(readWholeFile(type.get(), buffer_)) != "Battery") continue;
        const UniqueFd scope(openFile(base + "scope"));
        if (trimmed(readWholeFile(scope.get(), buffer_)) == "Device") continue;  // a mouse's or a headset's
        Battery battery;
        battery.status.reset(openFile(base + "status"));
        battery.power.reset(openFile(base + "power_now"));
        if (!battery.power) {
            battery.current.reset(openFile(base + "current_now"));
            battery.voltage.reset(openFile(base + "voltage_now"));
        }
        if (battery.status && (battery.power || (battery.current && battery.voltage))) batteries_.push_back(std::move(battery));
    }
    if (batteries_.empty()) return "no battery with a power or current reading in " + directory;
    if (!readBatteryDischarge()) return "the batteries in " + directory + " could not be read";
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openGpu() {
    gpus_.clear();
    std::vector<std::string> files;
    for (const std::string& card : listed(path("/sys/class/drm"), "card")) {
        if (card.find('-') == std::string::npos) files.push_back(path("/sys/class/drm/") + card + "/device/gpu_busy_percent");
    }
    files.push_back(path("/sys/class/kgsl/kgsl-3d0/gpu_busy_percentage"));
    for (const std::string& file : files) {
        UniqueFd fd;
        if (gpus_.size() < kMaxCounters && !openChecked(file, fd) && readInteger(fd)) gpus_.push_back(std::move(fd));
    }
    if (gpus_.empty()) return "no GPU busy figure in " + path("/sys/class/drm") + " (no driver here exposes one)";
    return std::nullopt;
}

std::optional<std::string> MetricFiles::openApp(Pid pid) {
    appDir_.reset();
    appStat_.reset();
    appFds_.reset();
    appIo_.reset();
    if (pid <= 0) return "it needs a target process";
    const std::string directory = path("/proc/") + std::to_string(pid);
    appDir_.reset(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!appDir_) return reasonOf(directory, errno);
    for (auto [leaf, fd, flags] : {std::tuple{"stat", &appStat_, O_RDONLY}, std::tuple{"fd", &appFds_, O_RDONLY | O_DIRECTORY},
                                   std::tuple{"io", &appIo_, O_RDONLY}}) {
        fd->reset(::openat(appDir_.get(), leaf, flags | O_CLOEXEC));
        if (!*fd) return reasonOf(directory + "/" + leaf, errno);
    }
    // procfs gives a process's count of open descriptors as the size of its fd/ (since Linux 6.2; 0 before).
    struct statfs fileSystem{};
    appFdsSized_ = ::fstatfs(appFds_.get(), &fileSystem) == 0 && fileSystem.f_type == PROC_SUPER_MAGIC;
    if (!readApp()) return reasonOf(directory + "/io", errno != 0 ? errno : EIO);
    return std::nullopt;
}

std::optional<MemoryAvailableKb> MetricFiles::readMemory() {
    return parseMemoryAvailable(readWholeFile(meminfo_.get(), buffer_));
}

std::optional<LoadAverage> MetricFiles::readLoad() { return parseLoadavg(readWholeFile(loadavg_.get(), buffer_)); }

bool MetricFiles::readNet(std::vector<DeviceBytes>& out) {
    out.clear();
    const std::string_view text = readWholeFile(netDev_.get(), buffer_);
    return !text.empty() && forEachNetDevice(text, [&](std::string_view name, std::uint64_t in, std::uint64_t sent) {
        if (name != "lo") out.push_back({std::string(name), in, sent});
    });
}

bool MetricFiles::readDisks(std::vector<DeviceBytes>& out) {
    out.clear();
    for (const auto& [name, fd] : disks_) {
        // A disk that went away reads nothing, and so adds nothing.
        if (const auto disk = parseBlockStat(readWholeFile(fd.get(), buffer_)))
            out.push_back({name, disk->first * kSectorBytes, disk->second * kSectorBytes});
    }
    return !out.empty();
}

std::optional<std::int64_t> MetricFiles::readHottest() {
    std::optional<std::int64_t> hottest;
    for (const UniqueFd& zone : zones_) {
        const auto milli = readInteger(zone);
        if (milli && (!hottest || *milli > *hottest)) hottest = milli;
    }
    return hottest;
}

bool MetricFiles::readEnergy(std::vector<std::optional<std::uint64_t>>& out) {
    out.clear();
    bool any = false;
    for (const UniqueFd& counter : energy_) {
        const auto value = readInteger(counter);
        out.push_back(value && *value >= 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*value)) : std::nullopt);
        any = any || out.back();
    }
    return any;
}

std::optional<double> MetricFiles::readBatteryDischarge() {
    double microwatts = 0;
    for (const Battery& battery : batteries_) {
        if (!trimmed(readWholeFile(battery.status.get(), buffer_)).starts_with("Discharging")) continue;
        if (battery.power) {
            const auto power = readInteger(battery.power);
            if (!power) return std::nullopt;
            microwatts += std::abs(static_cast<double>(*power));
        } else {
            // Some drivers sign the current by its direction; the status already says which way it goes.
            const auto current = readInteger(battery.current);
            const auto voltage = readInteger(battery.voltage);
            if (!current || !voltage) return std::nullopt;
            microwatts += std::abs(static_cast<double>(*current)) * std::abs(static_cast<double>(*voltage)) / 1e6;
        }
    }
    return microwatts;
}

std::optional<std::int64_t> MetricFiles::readGpuBusy() {
    std::optional<std::int64_t> busiest;
    for (const UniqueFd& gpu : gpus_) {
        const auto busy = readInteger(gpu);
        if (busy && (!busiest || *busy > *busiest)) busiest = busy;
    }
    return busiest;
}

std::optional<AppCounters> MetricFiles::readApp() {
    const auto stat = parseTaskStat(readWholeFile(appStat_.get(), buffer_));
    if (!stat || hasExited(*stat)) return std::nullopt;
    const auto io = parseProcessIo(readWholeFile(appIo_.get(), buffer_));
    struct stat fds{};
    if (!io || !appFds_ || ::fstat(appFds_.get(), &fds) != 0) return std::nullopt;
    const auto descriptors = appFdsSized_ && fds.st_size > 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(fds.st_size))
                                             : countEntries(appFds_.get(), buffer_);
    if (!descriptors) return std::nullopt;
    return AppCounters{stat->threads, *descriptors, *io};
}

}  // namespace perfagent

#include "platform/device.hpp"

#include <sys/utsname.h>

#include <fstream>

namespace perfagent {

namespace {

std::string trimmed(std::string text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0'; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && blank(text[start])) ++start;
    return text.substr(start);
}

std::string firstLineOf(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    if (file) std::getline(file, line);
    return line;
}

}  // namespace

DeviceInfo readHostDevice(const std::filesystem::path& productNamePath) {
    DeviceInfo device;
    utsname host{};
    if (uname(&host) == 0) {
        device.systemName = host.sysname;
        device.systemVersion = host.release;
        device.name = host.nodename;
        device.model = host.machine;
    }
    if (auto product = trimmed(firstLineOf(productNamePath)); !product.empty()) device.model = std::move(product);
    return device;
}

}  // namespace perfagent

#include "platform/linux/LinuxSystemIdentity.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "net/TextExcerpt.h"

namespace kavo::linux_platform {

namespace {

std::optional<std::string> readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of KEY= in os-release syntax, quotes removed.
std::optional<std::string> osReleaseValue(const std::string& text, std::string_view key) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
            line[key.size()] == '=') {
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

LinuxSystemIdentity::LinuxSystemIdentity(std::filesystem::path root) : root_(std::move(root)) {}

std::string LinuxSystemIdentity::osVersion() const {
    std::string name;
    auto release = readText(root_ / "etc/os-release");
    if (!release) {
        release = readText(root_ / "usr/lib/os-release");
    }
    if (release) {
        name = osReleaseValue(*release, "PRETTY_NAME").value_or("");
    }
    std::string kernel;
    utsname system{};
    if (::uname(&system) == 0) {
        kernel = std::string(system.sysname) + " " + system.release;
    }
    if (name.empty()) {
        return kernel.empty() ? "Linux" : kernel;
    }
    return kernel.empty() ? name : name + "; " + kernel;
}

std::optional<std::string> LinuxSystemIdentity::productName() const {
    const auto text = readText(root_ / "sys/class/dmi/id/product_name");
    if (!text) {
        return std::nullopt;
    }
    std::string name(trimmedWhitespace(*text));
    if (name.empty()) {
        return std::nullopt;
    }
    return name;
}

std::string LinuxSystemIdentity::machine() const {
    utsname system{};
    if (::uname(&system) != 0) {
        return "unknown";
    }
    return system.machine;
}

std::string LinuxSystemIdentity::timeZoneIdentifier() const {
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        std::string_view zone(tz);
        if (zone.front() == ':') {
            zone.remove_prefix(1);
        }
        if (!zone.empty() && zone.front() != '/') {
            return std::string(zone);
        }
    }
    if (const auto zone = readText(root_ / "etc/timezone")) {
        const std::string_view trimmed = trimmedWhitespace(*zone);
        if (!trimmed.empty()) {
            return std::string(trimmed);
        }
    }
    std::error_code error;
    const auto target = std::filesystem::read_symlink(root_ / "etc/localtime", error).string();
    if (!error) {
        constexpr std::string_view kZoneInfo = "zoneinfo/";
        if (const auto at = target.find(kZoneInfo); at != std::string::npos) {
            return target.substr(at + kZoneInfo.size());
        }
    }
    return "UTC";
}

}  // namespace kavo::linux_platform

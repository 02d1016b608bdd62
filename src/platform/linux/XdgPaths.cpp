#include "platform/linux/XdgPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kavo::linux_platform {
namespace {

std::filesystem::path homeDirectory(const EnvironmentLookup& environment) {
    if (auto home = environment("HOME"); home && !home->empty()) return *home;
    if (const passwd* entry = ::getpwuid(::getuid());
        entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/tmp";
}

std::filesystem::path base(const EnvironmentLookup& environment, const char* variable,
                           const std::filesystem::path& fallback) {
    if (auto value = environment(variable); value && !value->empty()) {
        std::filesystem::path path(*value);
        if (path.is_absolute()) return path;
    }
    return fallback;
}

}  // namespace

std::optional<std::string> processEnvironment(const char* name) {
    if (const char* value = std::getenv(name)) return std::string(value);
    return std::nullopt;
}

AppPaths xdgAppPaths(const EnvironmentLookup& environment) {
    const auto home = homeDirectory(environment);
    const std::string app(kAppIdentifier);
    return AppPaths{
        base(environment, "XDG_DATA_HOME", home / ".local" / "share") / app,
        base(environment, "XDG_CONFIG_HOME", home / ".config") / app,
        base(environment, "XDG_STATE_HOME", home / ".local" / "state") / app,
    };
}

}  // namespace kavo::linux_platform

#pragma once

#include <filesystem>
#include <string_view>

namespace kavo {

inline constexpr std::string_view kAppIdentifier = "brindle.meetings.desktop";

// Where the application keeps its files; the platform layer fills it in.
struct AppPaths {
    std::filesystem::path dataDirectory;    // the application's support folder
    std::filesystem::path configDirectory;  // settings, the sign-in cache
    std::filesystem::path stateDirectory;   // logs

    std::filesystem::path capturesDirectory() const { return dataDirectory / "Captures"; }
    std::filesystem::path defaultsFile() const { return configDirectory / "defaults.json"; }
    std::filesystem::path logFile() const { return stateDirectory / "kavo-meetings.log"; }
};

}  // namespace kavo

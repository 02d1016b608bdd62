#pragma once

#include <fmt/format.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace spdlog {
class logger;
}

namespace kavo {

// The four levels the system logs at; `notice` is the platform's "default" level.
enum class LogLevel { debug, info, notice, error };

std::string_view toString(LogLevel level);

inline constexpr std::string_view kLogSubsystem = "brindle.meetings.desktop";

// One log category of the subsystem, named after its component ("Mixer", "WavWriter").
// Cheap to copy; every category writes to the process's shared sinks.
class Logger {
public:
    explicit Logger(std::string_view category);

    template <typename... Args>
    void debug(fmt::format_string<Args...> format, Args&&... args) const {
        write(LogLevel::debug, fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void info(fmt::format_string<Args...> format, Args&&... args) const {
        write(LogLevel::info, fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void notice(fmt::format_string<Args...> format, Args&&... args) const {
        write(LogLevel::notice, fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void error(fmt::format_string<Args...> format, Args&&... args) const {
        write(LogLevel::error, fmt::format(format, std::forward<Args>(args)...));
    }

    void write(LogLevel level, std::string_view message) const;
    const std::string& category() const { return category_; }

private:
    std::string category_;
    std::shared_ptr<spdlog::logger> logger_;
};

namespace logging {

// Called by main: where the log goes. Without either, messages reach only captures.
void addConsole(LogLevel minimum);
void addRotatingFile(const std::filesystem::path& file, LogLevel minimum);

}  // namespace logging

// Records every message while it lives, for tests.
class LogCapture {
public:
    struct Entry {
        std::string category;
        LogLevel level;
        std::string message;
    };

    LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture();

    std::vector<Entry> entries() const;
    std::vector<std::string> messages(std::string_view category) const;
    // Whether some message of `category` contains `text`.
    bool contains(std::string_view category, std::string_view text) const;
    void clear();

    class Sink;

private:
    std::shared_ptr<Sink> sink_;
};

}  // namespace kavo

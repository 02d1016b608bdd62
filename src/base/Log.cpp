#include "base/Log.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace kavo {
namespace {

spdlog::level::level_enum toSpd(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return spdlog::level::debug;
        case LogLevel::info:
            return spdlog::level::info;
        case LogLevel::notice:
            return spdlog::level::warn;
        case LogLevel::error:
            return spdlog::level::err;
    }
    return spdlog::level::info;
}

LogLevel fromSpd(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            return LogLevel::debug;
        case spdlog::level::info:
            return LogLevel::info;
        case spdlog::level::warn:
            return LogLevel::notice;
        default:
            return LogLevel::error;
    }
}

// Prints the system's level names rather than spdlog's.
class LevelFlag final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        const auto name = toString(fromSpd(msg.level));
        dest.append(name.data(), name.data() + name.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<LevelFlag>();
    }
};

std::unique_ptr<spdlog::formatter> makeFormatter() {
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<LevelFlag>('*').set_pattern(
        "%Y-%m-%d %H:%M:%S.%e [brindle.meetings.desktop:%n] %* %v");
    return formatter;
}

// The sinks every category writes to; the process has one log, like the platform's.
std::shared_ptr<spdlog::sinks::dist_sink_mt> sharedSinks() {
    static const auto sinks = [] {
        auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
        dist->set_level(spdlog::level::debug);
        return dist;
    }();
    return sinks;
}

std::shared_ptr<spdlog::logger> categoryLogger(const std::string& category) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (auto existing = spdlog::get(category)) return existing;
    auto logger = std::make_shared<spdlog::logger>(category, sharedSinks());
    logger->set_level(spdlog::level::debug);
    logger->flush_on(spdlog::level::warn);
    spdlog::register_logger(logger);
    return logger;
}

}  // namespace

std::string_view toString(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::notice:
            return "default";
        case LogLevel::error:
            return "error";
    }
    return "info";
}

Logger::Logger(std::string_view category)
    : category_(category), logger_(categoryLogger(category_)) {}

void Logger::write(LogLevel level, std::string_view message) const {
    logger_->log(toSpd(level), "{}", message);
}

namespace logging {

void addConsole(LogLevel minimum) {
    auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    sink->set_formatter(makeFormatter());
    sink->set_level(toSpd(minimum));
    sharedSinks()->add_sink(sink);
}

void addRotatingFile(const std::filesystem::path& file, LogLevel minimum) {
    std::filesystem::create_directories(file.parent_path());
    auto sink =
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file.string(), 5 * 1024 * 1024, 3);
    sink->set_formatter(makeFormatter());
    sink->set_level(toSpd(minimum));
    sharedSinks()->add_sink(sink);
}

}  // namespace logging

class LogCapture::Sink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<Entry> snapshot() {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        entries_.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()),
                            fromSpd(msg.level),
                            std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<Entry> entries_;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
    sharedSinks()->add_sink(sink_);
}

LogCapture::~LogCapture() {
    sharedSinks()->remove_sink(sink_);
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
    return sink_->snapshot();
}

std::vector<std::string> LogCapture::messages(std::string_view category) const {
    std::vector<std::string> result;
    for (auto& entry : sink_->snapshot()) {
        if (entry.category == category) result.push_back(std::move(entry.message));
    }
    return result;
}

bool LogCapture::contains(std::string_view category, std::string_view text) const {
    const auto all = messages(category);
    return std::any_of(all.begin(), all.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
}

void LogCapture::clear() {
    sink_->reset();
}

}  // namespace kavo

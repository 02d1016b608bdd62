#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"
#include "base/Log.h"

namespace kavo {

class DefaultsError : public Error {
public:
    using Error::Error;
};

// Small persistent settings under fixed keys: JSON data payloads and switches.
class Defaults {
public:
    virtual ~Defaults() = default;
    // The JSON text stored under `key`.
    virtual std::optional<std::string> data(std::string_view key) const = 0;
    virtual std::optional<bool> boolValue(std::string_view key) const = 0;
    // `json` must be a JSON text; throws DefaultsError otherwise.
    virtual void setData(std::string_view key, std::string_view json) = 0;
    virtual void setBool(std::string_view key, bool value) = 0;
    virtual void remove(std::string_view key) = 0;
};

// Defaults kept in memory only: tests, and a fallback when no file can be written.
class MemoryDefaults : public Defaults {
public:
    std::optional<std::string> data(std::string_view key) const override;
    std::optional<bool> boolValue(std::string_view key) const override;
    void setData(std::string_view key, std::string_view json) override;
    void setBool(std::string_view key, bool value) override;
    void remove(std::string_view key) override;

protected:
    // Called with the lock held after every change.
    virtual void changed(const nlohmann::json& /*all*/) {}
    void replaceAll(nlohmann::json all);

private:
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();
};

// Defaults in one JSON file, rewritten atomically on every change. A file that cannot be
// read as a JSON object is moved aside (".corrupt") and the settings start empty.
class JsonFileDefaults final : public MemoryDefaults {
public:
    explicit JsonFileDefaults(std::filesystem::path file);

private:
    void changed(const nlohmann::json& all) override;

    std::filesystem::path file_;
    Logger log_{"Defaults"};
};

}  // namespace kavo

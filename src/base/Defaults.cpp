#include "base/Defaults.h"

#include "base/AtomicFile.h"

namespace kavo {

std::optional<std::string> MemoryDefaults::data(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.find(key);
    if (it == values_.end() || it->is_boolean()) return std::nullopt;
    return it->dump();
}

std::optional<bool> MemoryDefaults::boolValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.find(key);
    if (it == values_.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

void MemoryDefaults::setData(std::string_view key, std::string_view json) {
    auto parsed = nlohmann::json::parse(json, nullptr, false);
    if (parsed.is_discarded()) {
        throw DefaultsError("The setting " + std::string(key) + " is not valid JSON.");
    }
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = std::move(parsed);
    changed(values_);
}

void MemoryDefaults::setBool(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = value;
    changed(values_);
}

void MemoryDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(std::string(key)) > 0) changed(values_);
}

void MemoryDefaults::replaceAll(nlohmann::json all) {
    std::lock_guard lock(mutex_);
    values_ = std::move(all);
}

JsonFileDefaults::JsonFileDefaults(std::filesystem::path file) : file_(std::move(file)) {
    std::optional<std::string> text;
    try {
        text = readFileIfExists(file_);
    } catch (const FileError& error) {
        log_.error("Settings unreadable, starting empty: {}", error.what());
        return;
    }
    if (!text) return;
    auto parsed = nlohmann::json::parse(*text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        std::error_code ignored;
        std::filesystem::rename(file_, file_.string() + ".corrupt", ignored);
        log_.error("Settings file {} is not a JSON object; moved aside", file_.string());
        return;
    }
    replaceAll(std::move(parsed));
}

void JsonFileDefaults::changed(const nlohmann::json& all) {
    try {
        std::filesystem::create_directories(file_.parent_path());
        writeFileAtomically(file_, all.dump(2) + "\n", 0600);
    } catch (const std::exception& error) {
        // A setting that cannot be saved still holds for this launch.
        log_.error("Could not save settings: {}", error.what());
    }
}

}  // namespace kavo

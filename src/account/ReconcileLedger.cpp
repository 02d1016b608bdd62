#include "account/ReconcileLedger.h"

#include <nlohmann/json.hpp>

#include "account/ReferenceDate.h"

namespace kavo {

namespace {

nlohmann::json encode(const ReconcileLedger::Entry& entry) {
    nlohmann::json json{{"recordingId", entry.recordingId},
                        {"missingStreak", entry.missingStreak},
                        {"lastSeenAt", secondsSinceReferenceDate(entry.lastSeenAt)}};
    if (entry.settledAt) {
        json["settledAt"] = secondsSinceReferenceDate(*entry.settledAt);
    }
    if (entry.hiddenAt) {
        json["hiddenAt"] = secondsSinceReferenceDate(*entry.hiddenAt);
    }
    return json;
}

ReconcileLedger::Entry decode(const nlohmann::json& json) {
    ReconcileLedger::Entry entry;
    entry.recordingId = json.at("recordingId").get<std::string>();
    entry.missingStreak = json.at("missingStreak").get<int>();
    entry.lastSeenAt = fromSecondsSinceReferenceDate(json.at("lastSeenAt").get<double>());
    if (json.contains("settledAt") && !json.at("settledAt").is_null()) {
        entry.settledAt = fromSecondsSinceReferenceDate(json.at("settledAt").get<double>());
    }
    if (json.contains("hiddenAt") && !json.at("hiddenAt").is_null()) {
        entry.hiddenAt = fromSecondsSinceReferenceDate(json.at("hiddenAt").get<double>());
    }
    return entry;
}

}  // namespace

ReconcileLedger::ReconcileLedger(std::shared_ptr<Defaults> defaults)
    : defaults_(std::move(defaults)) {}

std::map<std::string, ReconcileLedger::Entry> ReconcileLedger::load() const {
    const auto data = defaults_->data(kDefaultsKey);
    if (!data) {
        return {};
    }
    try {
        std::map<std::string, Entry> entries;
        const auto json = nlohmann::json::parse(*data);
        for (const auto& [captureId, value] : json.items()) {
            entries.emplace(captureId, decode(value));
        }
        return entries;
    } catch (const nlohmann::json::exception&) {
        return {};
    }
}

void ReconcileLedger::save(const std::map<std::string, Entry>& entries) {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [captureId, entry] : entries) {
        json[captureId] = encode(entry);
    }
    try {
        defaults_->setData(kDefaultsKey, json.dump());
    } catch (const std::exception& error) {
        log_.error("Reconcile ledger not saved: {}", error.what());
    }
}

ReconcileLedger::Entry ReconcileLedger::entryFor(const std::map<std::string, Entry>& entries,
                                                 const std::string& captureId,
                                                 const std::string& recordingId, WallTime now) {
    const auto found = entries.find(captureId);
    if (found != entries.end() && found->second.recordingId == recordingId) {
        return found->second;
    }
    return Entry{recordingId, 0, now, std::nullopt, std::nullopt};
}

void ReconcileLedger::retain(const std::set<std::string>& captureIds) {
    std::lock_guard guard(lock_);
    auto entries = load();
    const auto before = entries.size();
    std::erase_if(entries, [&](const auto& item) { return !captureIds.contains(item.first); });
    if (entries.size() != before) {
        save(entries);
    }
}

void ReconcileLedger::recordSeen(const std::string& captureId, const std::string& recordingId,
                                 bool settled, WallTime now) {
    std::lock_guard guard(lock_);
    auto entries = load();
    auto entry = entryFor(entries, captureId, recordingId, now);
    entry.missingStreak = 0;
    entry.hiddenAt.reset();
    if (settled && !entry.settledAt) {
        entry.settledAt = now;
    }
    const auto found = entries.find(captureId);
    if (found == entries.end() || found->second != entry) {
        entries[captureId] = entry;
        save(entries);
    }
}

ReconcileLedger::Entry ReconcileLedger::recordMissing(const std::string& captureId,
                                                      const std::string& recordingId,
                                                      WallTime now) {
    std::lock_guard guard(lock_);
    auto entries = load();
    auto entry = entryFor(entries, captureId, recordingId, now);
    entry.missingStreak += 1;
    entry.lastSeenAt = now;
    entries[captureId] = entry;
    save(entries);
    return entry;
}

void ReconcileLedger::resetStreak(const std::string& captureId) {
    std::lock_guard guard(lock_);
    auto entries = load();
    const auto found = entries.find(captureId);
    if (found == entries.end() || found->second.missingStreak == 0) {
        return;
    }
    found->second.missingStreak = 0;
    save(entries);
}

bool ReconcileLedger::markHidden(const std::string& captureId, const std::string& recordingId,
                                 WallTime now) {
    std::lock_guard guard(lock_);
    auto entries = load();
    const auto found = entries.find(captureId);
    if (found == entries.end() || found->second.recordingId != recordingId ||
        found->second.hiddenAt) {
        return false;
    }
    found->second.hiddenAt = now;
    save(entries);
    return true;
}

void ReconcileLedger::remove(const std::string& captureId) {
    std::lock_guard guard(lock_);
    auto entries = load();
    if (entries.erase(captureId) > 0) {
        save(entries);
    }
}

std::set<std::string> ReconcileLedger::hiddenCaptureIds() const {
    std::lock_guard guard(lock_);
    std::set<std::string> hidden;
    for (const auto& [captureId, entry] : load()) {
        if (entry.hiddenAt) {
            hidden.insert(captureId);
        }
    }
    return hidden;
}

void ReconcileLedger::clear() {
    std::lock_guard guard(lock_);
    defaults_->remove(kDefaultsKey);
}

std::map<std::string, ReconcileLedger::Entry> ReconcileLedger::entries() const {
    std::lock_guard guard(lock_);
    return load();
}

}  // namespace kavo

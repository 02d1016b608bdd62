#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "base/Clock.h"
#include "base/Defaults.h"
#include "base/Log.h"

namespace kavo {

// What the deletion reconciler remembers per capture between passes and launches: the
// run of consecutive 404s on its recording, and whether the server was ever seen holding
// it. Shared by the session and every reconciler; each operation takes the ledger's own
// lock, reads the stored ledger, and writes it back only when it changed.
class ReconcileLedger {
public:
    static constexpr std::string_view kDefaultsKey = "kavo.reconcileLedger";

    struct Entry {
        std::string recordingId;
        int missingStreak = 0;
        WallTime lastSeenAt;
        std::optional<WallTime> settledAt;
        std::optional<WallTime> hiddenAt;
        bool operator==(const Entry&) const = default;
    };

    explicit ReconcileLedger(std::shared_ptr<Defaults> defaults);

    // Drops every entry whose capture id is not in `captureIds`.
    void retain(const std::set<std::string>& captureIds);
    // A status answer: the streak ends and the capture is no longer hidden.
    void recordSeen(const std::string& captureId, const std::string& recordingId, bool settled,
                    WallTime now);
    // A 404: returns the entry with its streak one longer.
    Entry recordMissing(const std::string& captureId, const std::string& recordingId, WallTime now);
    void resetStreak(const std::string& captureId);
    // Whether the capture was hidden now (false when it already was, or has no entry).
    bool markHidden(const std::string& captureId, const std::string& recordingId, WallTime now);
    void remove(const std::string& captureId);
    std::set<std::string> hiddenCaptureIds() const;
    // Forgets everything (sign-out).
    void clear();

    std::map<std::string, Entry> entries() const;

private:
    std::map<std::string, Entry> load() const;
    void save(const std::map<std::string, Entry>& entries);
    // The entry for `captureId` when it is about `recordingId`, else a new one.
    static Entry entryFor(const std::map<std::string, Entry>& entries, const std::string& captureId,
                          const std::string& recordingId, WallTime now);

    std::shared_ptr<Defaults> defaults_;
    mutable std::mutex lock_;
    Logger log_{"ReconcileLedger"};
};

}  // namespace kavo

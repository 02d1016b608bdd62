#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "account/ReconcileLedger.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "capture/files/CaptureSidecar.h"
#include "net/KavoAPIClient.h"

namespace kavo {

// Takes captures whose recordings the server has deleted off the menu, and off the disk
// when the server was once seen holding them. A capture is acted on after `threshold`
// consecutive 404s on its recording; any other failure resets the run, and a pass whose
// identity check fails changes nothing.
class ServerDeletionReconciler {
public:
    struct SidecarFile {
        std::filesystem::path url;
        CaptureSidecar sidecar;
    };
    // Every readable sidecar of the captures directory, in listing order.
    using SidecarLister = std::function<std::vector<SidecarFile>()>;

    struct Candidate {
        std::string captureId;
        std::string recordingId;
        std::string uploadState;
        std::filesystem::path sidecarURL;
        std::filesystem::path audioURL;
    };

    struct Action {
        std::string captureId;
        std::string recordingId;
        int streak = 0;
        bool operator==(const Action&) const = default;
    };

    struct Report {
        int sidecars = 0;
        int eligible = 0;
        int alive = 0;
        int settled = 0;
        int missing = 0;
        int inconclusive = 0;
        std::vector<Action> hidden;
        std::vector<Action> removed;
        bool abandoned = false;
        bool operator==(const Report&) const = default;
    };

    static const std::set<std::string>& settledStates();

    ServerDeletionReconciler(SidecarLister captures, KavoAPIClient api,
                             std::shared_ptr<ReconcileLedger> ledger, int threshold,
                             const Clock& clock);

    // One pass. Never throws.
    Report run(std::stop_token stop = {}) const;

    // The candidate a sidecar makes, if it has a recording id and a plain ".wav" audio name.
    static std::optional<Candidate> candidate(const SidecarFile& file);

private:
    void check(const Candidate& candidate, Report& report, std::stop_token stop) const;
    void hide(const Candidate& candidate, int streak, Report& report) const;
    void removeFiles(const Candidate& candidate, int streak, Report& report) const;

    SidecarLister captures_;
    KavoAPIClient api_;
    std::shared_ptr<ReconcileLedger> ledger_;
    int threshold_;
    const Clock& clock_;
    Logger log_{"ServerDeletionReconciler"};
};

// The sidecars ("capture-*.json") of `directory` that can be read, in listing order; an
// unreadable one is skipped with a log line, an unreadable folder gives none.
std::vector<ServerDeletionReconciler::SidecarFile> sidecarFilesIn(
    const std::filesystem::path& directory);

}  // namespace kavo

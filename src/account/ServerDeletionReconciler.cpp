#include "account/ServerDeletionReconciler.h"

#include <algorithm>
#include <cctype>

#include "net/KavoAPIError.h"
#include "net/TransportError.h"

namespace kavo {

namespace {

std::string trimmed(std::string_view text) {
    const auto isBlank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

}  // namespace

const std::set<std::string>& ServerDeletionReconciler::settledStates() {
    static const std::set<std::string> states{"PROCESSING", "DELIVERED"};
    return states;
}

ServerDeletionReconciler::ServerDeletionReconciler(SidecarLister captures, KavoAPIClient api,
                                                   std::shared_ptr<ReconcileLedger> ledger,
                                                   int threshold, const Clock& clock)
    : captures_(std::move(captures)),
      api_(std::move(api)),
      ledger_(std::move(ledger)),
      threshold_(threshold),
      clock_(clock) {}

std::optional<ServerDeletionReconciler::Candidate> ServerDeletionReconciler::candidate(
    const SidecarFile& file) {
    const auto& sidecar = file.sidecar;
    const auto recordingId = trimmed(sidecar.recordingId.value_or(""));
    if (recordingId.empty()) {
        return std::nullopt;
    }
    const auto& audioName = sidecar.audioFileName;
    if (audioName.empty() || audioName.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const auto extension = std::filesystem::path(audioName).extension().string();
    if (upperCased(extension) != ".WAV") {
        return std::nullopt;
    }
    return Candidate{sidecar.captureId, recordingId,
                     sidecar.uploadState ? upperCased(*sidecar.uploadState) : std::string("none"),
                     file.url, file.url.parent_path() / audioName};
}

ServerDeletionReconciler::Report ServerDeletionReconciler::run(std::stop_token stop) const {
    Report report;
    std::vector<SidecarFile> files;
    try {
        files = captures_();
    } catch (const std::exception& error) {
        log_.error("Reconcile could not list the captures: {}", error.what());
    }
    report.sidecars = static_cast<int>(files.size());

    std::set<std::string> captureIds;
    for (const auto& file : files) {
        captureIds.insert(file.sidecar.captureId);
    }
    ledger_->retain(captureIds);

    std::vector<Candidate> candidates;
    for (const auto& file : files) {
        if (auto made = candidate(file)) {
            candidates.push_back(std::move(*made));
        }
    }
    report.eligible = static_cast<int>(candidates.size());
    if (!files.empty()) {
        log_.notice(
            "Reconcile: {} sidecar(s), {} with a recording id; {} never uploaded and never asked "
            "about",
            report.sidecars, report.eligible, report.sidecars - report.eligible);
    }
    if (candidates.empty()) {
        return report;
    }

    try {
        api_.currentUser(stop);
    } catch (const std::exception& error) {
        log_.notice(
            "Reconcile abandoned: /api/me did not answer ({}); nothing checked, nothing recorded",
            error.what());
        report.abandoned = true;
        return report;
    }

    try {
        for (const auto& each : candidates) {
            check(each, report, stop);
        }
    } catch (const TransportError& error) {
        // Cancelled (the application is quitting): what was not asked about stays as it was.
        log_.notice("Reconcile stopped: {}", error.what());
        return report;
    }

    log_.notice(
        "Reconcile done: checked={} alive={} settled={} missing={} inconclusive={} dropped={} "
        "removed={}",
        report.eligible, report.alive, report.settled, report.missing, report.inconclusive,
        report.hidden.size(), report.removed.size());
    return report;
}

void ServerDeletionReconciler::check(const Candidate& candidate, Report& report,
                                     std::stop_token stop) const {
    try {
        const auto status = api_.recordingStatus(candidate.recordingId, stop);
        const auto state = upperCased(trimmed(status.state));
        const bool settled = settledStates().contains(state);
        ledger_->recordSeen(candidate.captureId, candidate.recordingId, settled, clock_.now());
        report.alive += 1;
        if (settled) {
            report.settled += 1;
            log_.info("Reconcile confirmed {} at {}; Kavo holds this recording",
                      candidate.recordingId, state);
        }
        return;
    } catch (const TransportError& error) {
        if (error.isCancellation()) {
            throw;
        }
        report.inconclusive += 1;
        ledger_->resetStreak(candidate.captureId);
        log_.notice("Reconcile inconclusive for capture {}: {}; streak reset", candidate.captureId,
                    error.what());
    } catch (const KavoAPIError& error) {
        if (error.kind() == KavoAPIError::Kind::http && error.status() == 404) {
            report.missing += 1;
            const auto entry =
                ledger_->recordMissing(candidate.captureId, candidate.recordingId, clock_.now());
            const bool confirmed = entry.settledAt.has_value();
            log_.notice(
                "Reconcile 404 ({}/{}) for capture {} on recording {}, confirmed-settled={}",
                entry.missingStreak, threshold_, candidate.captureId, candidate.recordingId,
                confirmed ? "true" : "false");
            if (entry.missingStreak < threshold_) {
                return;
            }
            if (confirmed) {
                removeFiles(candidate, entry.missingStreak, report);
            } else {
                hide(candidate, entry.missingStreak, report);
            }
            return;
        }
        report.inconclusive += 1;
        ledger_->resetStreak(candidate.captureId);
        log_.notice("Reconcile inconclusive for capture {}: {}; streak reset", candidate.captureId,
                    error.what());
    } catch (const std::exception& error) {
        report.inconclusive += 1;
        ledger_->resetStreak(candidate.captureId);
        log_.notice("Reconcile inconclusive for capture {}: {}; streak reset", candidate.captureId,
                    error.what());
    }
}

void ServerDeletionReconciler::hide(const Candidate& candidate, int streak, Report& report) const {
    if (!ledger_->markHidden(candidate.captureId, candidate.recordingId, clock_.now())) {
        return;
    }
    log_.notice(
        "Dropped capture {} (recording {}, sidecar state {}) from the menu after {} consecutive "
        "404s. Kavo was "
        "never seen holding this recording, so {} and {} are KEPT on disk",
        candidate.captureId, candidate.recordingId, candidate.uploadState, streak,
        candidate.audioURL.filename().string(), candidate.sidecarURL.filename().string());
    report.hidden.push_back(Action{candidate.captureId, candidate.recordingId, streak});
}

void ServerDeletionReconciler::removeFiles(const Candidate& candidate, int streak,
                                           Report& report) const {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(candidate.audioURL, error))) {
        if (!std::filesystem::remove(candidate.audioURL, error) && error) {
            log_.error("Reconcile could not delete {} for capture {}: {}; keeping the sidecar",
                       candidate.audioURL.filename().string(), candidate.captureId,
                       error.message());
            return;
        }
    }
    error.clear();
    if (!std::filesystem::remove(candidate.sidecarURL, error) || error) {
        const auto reason = error ? error.message() : std::string("the file is gone");
        log_.error(
            "Reconcile deleted the audio for capture {} but could not delete its sidecar: {}",
            candidate.captureId, reason);
        return;
    }
    ledger_->remove(candidate.captureId);
    log_.notice(
        "Removed capture {} (recording {}, sidecar state {}) after {} consecutive 404s on an id "
        "Kavo was "
        "confirmed to hold: deleted {} and {}",
        candidate.captureId, candidate.recordingId, candidate.uploadState, streak,
        candidate.audioURL.filename().string(), candidate.sidecarURL.filename().string());
    report.removed.push_back(Action{candidate.captureId, candidate.recordingId, streak});
}

std::vector<ServerDeletionReconciler::SidecarFile> sidecarFilesIn(
    const std::filesystem::path& directory) {
    static const Logger log{"RecentCaptureStore"};
    std::vector<ServerDeletionReconciler::SidecarFile> files;
    std::error_code error;
    std::filesystem::directory_iterator it(directory, error);
    if (error) {
        return files;
    }
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            break;
        }
        const auto name = it->path().filename().string();
        if (name.starts_with(".") || !name.starts_with("capture-") ||
            it->path().extension() != ".json") {
            continue;
        }
        try {
            files.push_back({it->path(), CaptureSidecar::read(it->path())});
        } catch (const std::exception&) {
            log.notice("Skipping unreadable sidecar {}", name);
        }
    }
    return files;
}

}  // namespace kavo

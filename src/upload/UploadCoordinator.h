#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "base/Clock.h"
#include "base/Log.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "net/KavoAPIClient.h"
#include "upload/BlockBlobUploader.h"
#include "upload/UploadStatus.h"

namespace kavo {

// Takes one finished capture all the way to the Kavo server: init, the blob upload,
// finalize with the sidecar's metadata, then a while of status polling. Owns the retry
// policy (transient failures are retried after 10, 60 and 300 s; permanent ones end the
// run at once), the stall watchdog and the progress figure shown in the menu, and writes
// the server's id and state back into the sidecar.
class UploadCoordinator {
public:
    using StatusCallback = std::function<void(const UploadStatus&)>;

    struct UploadProgressState {
        std::int64_t bytesSent = 0;
        std::int64_t bytesExpected = 0;
        WallTime lastActivityAt;
        bool isWaitingForConnectivity = false;
        double highWaterFraction = 0;
        friend bool operator==(const UploadProgressState&, const UploadProgressState&) = default;
    };

    // Shared by the progress callback and the stall watchdog of one blob stage.
    struct ProgressBox {
        std::mutex lock;
        UploadProgressState state;

        // Bytes moved on the wire by the stage so far: a slow link is busy long before a
        // block is done.
        std::int64_t bytesOnWire = 0;

        explicit ProgressBox(WallTime now) { state.lastActivityAt = now; }
        // Takes in (bytes sent, bytes expected) at `now` and returns the status to show,
        // whose fraction never goes backwards.
        UploadStatus record(std::int64_t sent, std::int64_t expected, WallTime now);
        // Takes in the stage's total of bytes on the wire at `now`.
        void recordWire(std::int64_t total, WallTime now);
    };

    struct AttemptResult {
        enum class Kind { done, transient, permanent };
        Kind kind = Kind::done;
        UploadStatus status = UploadStatus::idle();  // when done
        std::string message;                         // when transient or permanent

        static AttemptResult finished(UploadStatus status) {
            return {Kind::done, std::move(status), {}};
        }
        static AttemptResult transient(std::string message) {
            return {Kind::transient, UploadStatus::idle(), std::move(message)};
        }
        static AttemptResult permanent(std::string message) {
            return {Kind::permanent, UploadStatus::idle(), std::move(message)};
        }
        friend bool operator==(const AttemptResult&, const AttemptResult&) = default;
    };

    // How a run ended, for whoever decides what to send next.
    struct RunOutcome {
        enum class Kind {
            done,         // the server has it (delivered, processing, or failed there)
            retryLater,   // transient failures used up the attempts, or the run was stopped
            signInAgain,  // the account needs the user before anything can be sent
            failed        // this capture cannot be sent as it is
        };
        Kind kind = Kind::done;
        UploadStatus status = UploadStatus::idle();
        friend bool operator==(const RunOutcome&, const RunOutcome&) = default;
    };

    static constexpr int kMaxAttempts = 4;
    static constexpr const char* kSignInAgainText = "Sign in again to upload this meeting.";
    static constexpr std::array<int, 3> kRetryDelaysSeconds{10, 60, 300};
    static constexpr Duration kStallLimit = std::chrono::seconds(180);
    static constexpr const char* kContentType = "audio/wav";

    // `clock` gives the time and every wait (retries, polling, the watchdog), so tests
    // run them in simulated time.
    UploadCoordinator(KavoAPIClient api, BlockBlobUploader uploader, const Clock& clock,
                      Duration pollInterval = std::chrono::seconds(5), int pollMaxAttempts = 60,
                      std::optional<Duration> stallWatchdogInterval = std::chrono::seconds(15),
                      StatusCallback onStatus = {});

    // Attempts until success, a permanent failure or the fourth transient one; reports
    // each status on the way and returns the final one. Never throws. A stop request
    // (the application quitting) ends the run after the attempt under way.
    UploadStatus run(const CaptureArtifacts& artifacts, std::stop_token stop = {}) const {
        return deliver(artifacts, stop).status;
    }
    // The same run, telling how it ended.
    RunOutcome deliver(const CaptureArtifacts& artifacts, std::stop_token stop = {}) const;

    // How a failure is retried, and the text shown for it.
    static AttemptResult classify(std::exception_ptr error, const std::string& context);

private:
    AttemptResult attemptOnce(const CaptureArtifacts& artifacts, std::stop_token stop) const;
    BlockBlobUploader::Outcome blobStage(const CaptureArtifacts& artifacts,
                                         const std::string& uploadURL, const std::string& key,
                                         std::stop_token stop) const;
    BlockBlobUploader::Outcome uploadFile(const CaptureArtifacts& artifacts,
                                          const std::string& uploadURL, const std::string& key,
                                          ProgressBox& box, std::stop_token stop) const;
    void watch(ProgressBox& box, std::stop_source& upload, std::stop_token stop) const;
    std::string poll(const CaptureArtifacts& artifacts, const std::string& recordingId,
                     std::stop_token stop) const;
    KavoAPIClient::FinalizeUploadRequest finalizeRequest(const CaptureSidecar& sidecar,
                                                         const std::string& recordingId,
                                                         std::int64_t size) const;
    void emit(const UploadStatus& status) const;

    KavoAPIClient api_;
    BlockBlobUploader uploader_;
    const Clock* clock_;
    Duration pollInterval_;
    int pollMaxAttempts_;
    std::optional<Duration> stallWatchdogInterval_;
    StatusCallback onStatus_;
    Logger log_{"UploadCoordinator"};
    Logger uploaderLog_{"BlockBlobUploader"};
};

}  // namespace kavo

#include "upload/UploadCoordinator.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <system_error>
#include <thread>

#include "base/AtomicFile.h"
#include "base/Error.h"
#include "capture/files/SidecarTimestamp.h"
#include "net/KavoAPIError.h"
#include "net/UrlText.h"
#include "upload/InteractiveSignInRequiredError.h"

namespace kavo {
namespace {

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// File errors that waiting cannot heal: the file is gone, is no file, or may not be read.
bool isLastingFileError(const std::error_code& code) {
    if (code.category() != std::generic_category() && code.category() != std::system_category())
        return false;
    switch (code.value()) {
        case ENOENT:
        case ENOTDIR:
        case EISDIR:
        case EACCES:
        case EPERM:
        case ELOOP:
        case ENAMETOOLONG:
        case EINVAL:
        case ENXIO:
            return true;
        default:
            return false;
    }
}

bool isRetryableStatus(int status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

}  // namespace

UploadCoordinator::UploadCoordinator(KavoAPIClient api, BlockBlobUploader uploader,
                                     const Clock& clock, Duration pollInterval, int pollMaxAttempts,
                                     std::optional<Duration> stallWatchdogInterval,
                                     StatusCallback onStatus)
    : api_(std::move(api)),
      uploader_(std::move(uploader)),
      clock_(&clock),
      pollInterval_(pollInterval),
      pollMaxAttempts_(pollMaxAttempts),
      stallWatchdogInterval_(stallWatchdogInterval),
      onStatus_(std::move(onStatus)) {}

UploadStatus UploadCoordinator::ProgressBox::record(std::int64_t sent, std::int64_t expected,
                                                    WallTime now) {
    std::lock_guard guard(lock);
    if (sent > state.bytesSent) state.lastActivityAt = now;
    state.bytesSent = std::max(state.bytesSent, sent);
    state.bytesExpected = expected;
    if (expected >= 1) {
        const double fraction = std::clamp(
            static_cast<double>(state.bytesSent) / static_cast<double>(expected), 0.0, 1.0);
        state.highWaterFraction = std::max(state.highWaterFraction, fraction);
    }
    state.isWaitingForConnectivity = false;
    if (state.bytesExpected < 1 && !(state.highWaterFraction > 0)) return UploadStatus::uploading();
    return UploadStatus::uploading(state.highWaterFraction);
}

void UploadCoordinator::ProgressBox::recordWire(std::int64_t total, WallTime now) {
    std::lock_guard guard(lock);
    if (total <= bytesOnWire) return;
    bytesOnWire = total;
    state.lastActivityAt = now;
    state.isWaitingForConnectivity = false;
}

void UploadCoordinator::emit(const UploadStatus& status) const {
    if (onStatus_) onStatus_(status);
}

UploadCoordinator::RunOutcome UploadCoordinator::deliver(const CaptureArtifacts& artifacts,
                                                         std::stop_token stop) const {
    const auto end = [this](RunOutcome::Kind kind, UploadStatus status) {
        emit(status);
        return RunOutcome{kind, std::move(status)};
    };
    int attempt = 0;
    while (true) {
        const AttemptResult result = attemptOnce(artifacts, stop);
        if (result.kind == AttemptResult::Kind::done)
            return end(RunOutcome::Kind::done, result.status);
        if (result.kind == AttemptResult::Kind::permanent) {
            log_.error("Permanent failure: {}", result.message);
            return end(result.message == kSignInAgainText ? RunOutcome::Kind::signInAgain
                                                          : RunOutcome::Kind::failed,
                       UploadStatus::failed(result.message));
        }
        log_.notice("Transient failure on attempt {}: {}", attempt + 1, result.message);
        if (attempt == kMaxAttempts - 1) {
            return end(
                RunOutcome::Kind::retryLater,
                UploadStatus::failed(result.message + " \u2014 automatic retries exhausted."));
        }
        if (stop.stop_requested())
            return end(RunOutcome::Kind::retryLater, UploadStatus::failed(result.message));
        const int delay = kRetryDelaysSeconds[static_cast<std::size_t>(attempt)];
        ++attempt;
        emit(UploadStatus::retrying(result.message));
        log_.info("Retry {} in {}s: {}", attempt, delay, result.message);
        clock_->sleepFor(std::chrono::seconds(delay), stop);
    }
}

UploadCoordinator::AttemptResult UploadCoordinator::attemptOnce(const CaptureArtifacts& artifacts,
                                                                std::stop_token stop) const {
    emit(UploadStatus::preparing());

    CaptureSidecar sidecar;
    try {
        sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    } catch (const std::exception&) {
        return AttemptResult::permanent(
            "This recording's metadata file is missing or unreadable, so it cannot be uploaded.");
    }

    struct stat attributes {};
    if (::stat(artifacts.audioURL.c_str(), &attributes) != 0)
        return AttemptResult::permanent("Recording file is no longer on this computer (" +
                                        artifacts.audioURL.filename().string() + ").");
    // Waiting does not turn a folder or a device into a recording.
    if (!S_ISREG(attributes.st_mode))
        return AttemptResult::permanent(artifacts.audioURL.filename().string() +
                                        " is not a recording file (it is a folder or a device).");
    const auto size = static_cast<std::int64_t>(attributes.st_size);

    KavoAPIClient::InitUploadResponse init;
    try {
        init = api_.initUpload({sidecar.audioFileName, kContentType, size}, stop);
    } catch (...) {
        return classify(std::current_exception(), "Init failed");
    }

    sidecar.recordingId = init.recordingId;
    sidecar.blobPath = init.blobPath;
    sidecar.uploadState = "UPLOADING";
    try {
        sidecar.write(artifacts.sidecarURL);
    } catch (const std::exception& error) {
        return AttemptResult::transient(
            std::string("Could not record the upload id next to the recording: ") + error.what());
    }

    if (!UrlText::parse(init.uploadURL))
        return AttemptResult::permanent("Init returned an upload URL this app could not parse.");

    try {
        const auto outcome = blobStage(artifacts, init.uploadURL, init.recordingId, stop);
        if (outcome.kind() == BlockBlobUploader::Outcome::Kind::deadlineExceeded) {
            log_.error("SAS deadline abort: {}", outcome.report().description());
            return AttemptResult::transient(
                "Upload could not finish before the upload link expired.");
        }
    } catch (...) {
        return classify(std::current_exception(), "Blob upload failed");
    }

    emit(UploadStatus::finalizing());
    KavoAPIClient::FinalizeOutcome finalized;
    try {
        finalized = api_.finalizeUpload(finalizeRequest(sidecar, init.recordingId, size), stop);
    } catch (...) {
        return classify(std::current_exception(), "Finalize failed");
    }

    sidecar.recordingId = finalized.recordingId;
    sidecar.uploadState = finalized.state;
    try {
        sidecar.write(artifacts.sidecarURL);
    } catch (const std::exception&) {
        // The server has the recording; the next status read writes the state again.
    }
    if (finalized.kind == KavoAPIClient::FinalizeOutcome::Kind::alreadyFinalized)
        log_.notice("Finalize reported already-finalized for {}; treating as success",
                    finalized.recordingId);

    std::string state = upperCased(finalized.state);
    if (state != "DELIVERED" && state != "FAILED")
        state = upperCased(poll(artifacts, finalized.recordingId, stop));
    if (state == "DELIVERED")
        return AttemptResult::finished(UploadStatus::delivered(finalized.recordingId));
    if (state == "FAILED")
        return AttemptResult::finished(
            UploadStatus::failed("The server could not process this recording."));
    return AttemptResult::finished(UploadStatus::processing(finalized.recordingId));
}

KavoAPIClient::FinalizeUploadRequest UploadCoordinator::finalizeRequest(
    const CaptureSidecar& sidecar, const std::string& recordingId, std::int64_t size) const {
    KavoAPIClient::FinalizeUploadRequest request;
    request.recordingId = recordingId;
    request.captureMode = "impromptu";
    request.durationSeconds = static_cast<int>(std::llround(sidecar.durationSeconds));
    request.pausedDurationSeconds = static_cast<int>(std::llround(sidecar.pausedSeconds));
    if (const auto startedAt = SidecarTimestamp::parse(sidecar.startedAt)) {
        request.capturedAt = *startedAt;
    } else {
        log_.error("Sidecar startedAt '{}' did not parse; falling back to now", sidecar.startedAt);
        request.capturedAt = clock_->now();
    }
    if (sidecar.endedAt) request.capturedUntil = SidecarTimestamp::parse(*sidecar.endedAt);
    request.audioProfile = "standard";
    request.sampleRateHz = static_cast<int>(sidecar.sampleRateHz);
    request.channels = static_cast<int>(sidecar.channels);
    request.bitRateKbps = 256;
    request.fileSizeBytes = size;
    request.shareWithAttendees = false;
    return request;
}

BlockBlobUploader::Outcome UploadCoordinator::blobStage(const CaptureArtifacts& artifacts,
                                                        const std::string& uploadURL,
                                                        const std::string& key,
                                                        std::stop_token stop) const {
    ProgressBox box(clock_->now());
    emit(UploadStatus::uploading());

    std::stop_source upload;
    const std::stop_callback cancelWithRun(stop, [&upload] { upload.request_stop(); });
    std::jthread watchdog;
    if (stallWatchdogInterval_)
        watchdog = std::jthread(
            [this, &box, &upload](std::stop_token watching) { watch(box, upload, watching); });
    // The watchdog is stopped and joined when this returns, however it returns.
    return uploadFile(artifacts, uploadURL, key, box, upload.get_token());
}

BlockBlobUploader::Outcome UploadCoordinator::uploadFile(const CaptureArtifacts& artifacts,
                                                         const std::string& uploadURL,
                                                         const std::string& key, ProgressBox& box,
                                                         std::stop_token stop) const {
    const auto progress = [this, &box](std::int64_t sent, std::int64_t expected) {
        emit(box.record(sent, expected, clock_->now()));
    };
    const auto wire = [this, &box](std::int64_t total) { box.recordWire(total, clock_->now()); };

    const auto& path = artifacts.audioURL;
    if (!std::filesystem::exists(path)) throw BlockBlobUploaderError::fileMissing(path.string());
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(path));
    if (size < 1) throw BlockBlobUploaderError::emptyFile(path.string());

    if (size <= uploader_.blockSize()) {
        auto data = readFileIfExists(path);
        if (!data) throw BlockBlobUploaderError::fileMissing(path.string());
        uploader_.putBlob(std::move(*data), uploadURL, kContentType, stop, wire);
        progress(size, size);
        uploader_.store().clear(key);
        uploaderLog_.info("Single-PUT upload committed: {} bytes, key={}", size, key);
        return BlockBlobUploader::Outcome::uploaded(1, size);
    }
    const WallTime deadline = BlockBlobUploader::sasExpiry(uploadURL);
    return uploader_.upload(path, size, uploadURL, kContentType, key, deadline, progress, stop,
                            wire);
}

void UploadCoordinator::watch(ProgressBox& box, std::stop_source& upload,
                              std::stop_token stop) const {
    const Duration interval = *stallWatchdogInterval_;
    while (!stop.stop_requested()) {
        const WallTime before = clock_->now();
        if (!clock_->sleepFor(interval, stop)) return;
        // A much longer gap means the computer slept or this thread was starved; the
        // silence it measures is not the network's.
        if (clock_->now() - before > 3 * interval) continue;
        Duration silence{};
        {
            std::lock_guard lock(box.lock);
            if (box.state.isWaitingForConnectivity) continue;
            silence = clock_->now() - box.state.lastActivityAt;
        }
        if (silence >= kStallLimit) {
            log_.error("Upload stalled: no bytes for {}s, cancelling",
                       std::chrono::duration_cast<std::chrono::seconds>(kStallLimit).count());
            upload.request_stop();
            return;
        }
    }
}

std::string UploadCoordinator::poll(const CaptureArtifacts& artifacts,
                                    const std::string& recordingId, std::stop_token stop) const {
    std::string lastState = "PROCESSING";
    const int maxAttempts = std::max(pollMaxAttempts_, 1);
    for (int attempt = 1; attempt <= maxAttempts; ++attempt) {
        if (!clock_->sleepFor(pollInterval_, stop)) return lastState;
        try {
            const auto status = api_.recordingStatus(recordingId, stop);
            lastState = status.state;
            try {
                auto sidecar = CaptureSidecar::read(artifacts.sidecarURL);
                sidecar.uploadState = status.state;
                sidecar.write(artifacts.sidecarURL);
            } catch (const std::exception&) {
                // Best effort: the state is also what this run reports.
            }
            const auto upper = upperCased(status.state);
            if (upper == "DELIVERED" || upper == "FAILED") {
                log_.info("Poll terminal after {} attempt(s): {}", attempt, status.state);
                return status.state;
            }
        } catch (...) {
            log_.notice("Poll error {} (state stays {}): {}", attempt, lastState,
                        describe(std::current_exception()));
        }
    }
    log_.info("Poll window exhausted for {}; Kavo owns it from here", recordingId);
    return lastState;
}

UploadCoordinator::AttemptResult UploadCoordinator::classify(std::exception_ptr error,
                                                             const std::string& context) {
    const std::string message = context + ": " + describe(error);
    try {
        std::rethrow_exception(error);
    } catch (const InteractiveSignInRequiredError&) {
        return AttemptResult::permanent(kSignInAgainText);
    } catch (const KavoAPIError& api) {
        switch (api.kind()) {
            case KavoAPIError::Kind::invalidRequest:
                return AttemptResult::permanent(message);
            case KavoAPIError::Kind::forbidden:
                return AttemptResult::permanent(
                    context + ": You don't have permission to access this recording.");
            case KavoAPIError::Kind::http:
                if (isRetryableStatus(api.status())) return AttemptResult::transient(message);
                if (api.status() >= 400 && api.status() <= 499)
                    return AttemptResult::permanent(context +
                                                    ": the server rejected this upload (HTTP " +
                                                    std::to_string(api.status()) + ").");
                return AttemptResult::transient(message);
            default:
                return AttemptResult::transient(message);
        }
    } catch (const BlockBlobUploaderError& storage) {
        if (storage.kind() == BlockBlobUploaderError::Kind::fileMissing)
            return AttemptResult::permanent(message);
        if (storage.kind() != BlockBlobUploaderError::Kind::http)
            return AttemptResult::transient(message);
        const int status = storage.status();
        if (isRetryableStatus(status)) return AttemptResult::transient(message);
        if (status == 400 && storage.azureErrorCode() &&
            upperCased(*storage.azureErrorCode()) == upperCased("Crc64Mismatch"))
            return AttemptResult::transient(message);
        if (status >= 400 && status <= 499)
            return AttemptResult::permanent(context + ": storage rejected this upload (HTTP " +
                                            std::to_string(status) + ").");
        return AttemptResult::transient(message);
    } catch (const std::system_error& file) {
        // std::filesystem::filesystem_error is one too.
        if (isLastingFileError(file.code())) return AttemptResult::permanent(message);
        return AttemptResult::transient(message);
    } catch (...) {
        return AttemptResult::transient(message);
    }
}

}  // namespace kavo

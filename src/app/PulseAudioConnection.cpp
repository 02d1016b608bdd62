#include "app/PulseAudioConnection.h"

#include <unistd.h>

#include "audio/conference/IdleConferenceActivitySource.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseConferenceActivitySource.h"

namespace kavo {
namespace {

// A recording that cannot start, for when there is no audio server to record from.
class UnavailableSession final : public CaptureController::Session {
public:
    explicit UnavailableSession(std::string reason) : reason_(std::move(reason)) {}
    std::filesystem::path start() override { throw linux_platform::PulseError(reason_); }
    void stop() override {}
    std::optional<std::filesystem::path> audioURL() const override { return std::nullopt; }
    std::optional<std::filesystem::path> sidecarURL() const override { return std::nullopt; }
    std::optional<WallTime> startedAt() const override { return std::nullopt; }
    // It never starts, so there is nothing to pause.
    void pause() override {}
    void resume() override {}
    double pausedSeconds() const override { return 0; }
    CaptureCondition condition() const override { return {}; }

private:
    std::string reason_;
};

}  // namespace

PulseAudioConnection::PulseAudioConnection(const Clock& clock, Scheduler& main,
                                           std::filesystem::path capturesDirectory, Events events)
    : clock_(clock),
      main_(main),
      capturesDirectory_(std::move(capturesDirectory)),
      events_(std::move(events)),
      conference_(std::make_unique<IdleConferenceActivitySource>()) {
    connect();
    if (error_) log_.error("Recording is unavailable: {}", *error_);
}

void PulseAudioConnection::watch() {
    timer_ = main_.every(kRetryInterval, std::chrono::seconds(1), [this] { check(); });
}

void PulseAudioConnection::check() {
    if (platform_ && connected()) return;
    if (platform_) {
        log_.error("Lost the audio server; recording is unavailable until it is back");
        conference_.replace(std::make_unique<IdleConferenceActivitySource>());
        lost_.push_back(std::move(platform_));
        error_ = "The audio server went away";
        if (events_.lost) events_.lost();
    }
    connect();
    if (!platform_) return;
    log_.notice("Connected to the audio server");
    if (events_.restored) events_.restored();
}

bool PulseAudioConnection::connected() const {
    const linux_platform::PulseContext::Lock lock(platform_->pulse());
    return platform_->pulse().isReady();
}

void PulseAudioConnection::connect() {
    try {
        auto platform = std::make_unique<linux_platform::PulseAudioPlatform>();
        conference_.replace(std::make_unique<linux_platform::PulseConferenceActivitySource>(
            platform->pulse(), main_, ::getpid()));
        platform_ = std::move(platform);
        error_.reset();
    } catch (const std::exception& error) {
        if (!error_) error_ = error.what();
    }
}

CaptureController::SessionFactory PulseAudioConnection::sessionFactory(
    std::function<bool()> echoCancellation) {
    return
        [this, echoCancellation = std::move(echoCancellation)](
            const CaptureController::Owner& owner) -> std::unique_ptr<CaptureController::Session> {
            if (!platform_) return std::make_unique<UnavailableSession>(error_.value_or(""));
            return captureSessionFactory({
                .directory = capturesDirectory_,
                .factory = platform_->endpointFactory(),
                .devices = platform_->devices(),
                .clock = clock_,
                .echoCancellation = !echoCancellation || echoCancellation(),
            })(owner);
        };
}

}  // namespace kavo

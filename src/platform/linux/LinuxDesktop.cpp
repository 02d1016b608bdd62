#include "platform/linux/LinuxDesktop.h"

#include <unistd.h>

#include <exception>

#include "audio/conference/IdleConferenceActivitySource.h"
#include "base/Log.h"
#include "capture/CaptureController.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseConferenceActivitySource.h"

namespace kavo::linux_platform {
namespace {

// A recording that cannot start, for when there is no audio server to record from.
class UnavailableSession final : public CaptureController::Session {
public:
    explicit UnavailableSession(std::string reason) : reason_(std::move(reason)) {}
    std::filesystem::path start() override { throw PulseError(reason_); }
    void stop() override {}
    std::optional<std::filesystem::path> audioURL() const override { return std::nullopt; }
    std::optional<std::filesystem::path> sidecarURL() const override { return std::nullopt; }
    std::optional<WallTime> startedAt() const override { return std::nullopt; }

private:
    std::string reason_;
};

}  // namespace

LinuxDesktop::LinuxDesktop(LinuxServices& services, const Clock& clock, Shell shell)
    : clock_(clock), services_(services) {
    const auto captures = services_.paths().capturesDirectory();

    CaptureController::SessionFactory makeSession;
    try {
        audio_ = std::make_unique<PulseAudioPlatform>(clock_, utility_);
        conference_ = std::make_unique<PulseConferenceActivitySource>(audio_->pulse(), *shell.main,
                                                                      ::getpid());
        makeSession = captureSessionFactory({
            .directory = captures,
            .factory = audio_->endpointFactory(),
            .hardware = audio_->hardware(),
            .clock = clock_,
        });
    } catch (const std::exception& error) {
        audioError_ = error.what();
        Logger("app").error("Recording is unavailable: {}", *audioError_);
        audio_.reset();
        conference_ = std::make_unique<IdleConferenceActivitySource>();
        makeSession = [reason = *audioError_] {
            return std::make_unique<UnavailableSession>(reason);
        };
    }

    app_ = std::make_unique<KavoMeetingsDesktopApp>(KavoMeetingsDesktopApp::Environment{
        .makeAuthService = [&services]() -> std::shared_ptr<AuthService> {
            return services.makeAuthService();
        },
        .transport = services_.transport(),
        .discoveryURL = services_.endpoints().discoveryURL,
        .updateManifestURL = services_.endpoints().updateManifestURL,
        .defaults = services_.defaults(),
        .capturesDirectory = captures,
        .makeSession = std::move(makeSession),
        .conference = conference_.get(),
        .clock = &clock_,
        .main = shell.main,
        .worker = &worker_,
        .environmentVariable = services_.environment(),
        .runningVersion = KAVO_VERSION,
        .supportEnvironment = services_.supportEnvironment(),
        .timeZone = services_.timeZone(),
        .openURL = std::move(shell.openURL),
        .showReport = std::move(shell.showReport),
        .quit = std::move(shell.quit),
    });
}

LinuxDesktop::~LinuxDesktop() {
    // The application's recordings and watch use the audio connection and the queues.
    app_.reset();
    conference_.reset();
    audio_.reset();
}

}  // namespace kavo::linux_platform

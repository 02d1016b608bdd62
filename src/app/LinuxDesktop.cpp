#include "app/LinuxDesktop.h"

#include <utility>

#include "capture/EchoCancellationSetting.h"

namespace kavo {

LinuxDesktop::LinuxDesktop(LinuxServices& services, const Clock& clock, Shell shell)
    : clock_(clock), services_(services) {
    const auto captures = services_.paths().capturesDirectory();
    audio_ = std::make_unique<PulseAudioConnection>(
        clock_, *shell.main, captures,
        PulseAudioConnection::Events{.lost = [this] { audioLost(); },
                                     .restored = [this] { audioRestored(); }});

    app_ = std::make_unique<KavoMeetingsDesktopApp>(KavoMeetingsDesktopApp::Environment{
        .makeAuthService = [&services]() -> std::shared_ptr<AuthService> {
            return services.makeAuthService();
        },
        .transport = services_.transport(),
        .discoveryURL = services_.endpoints().discoveryURL,
        .updateManifestURL = services_.endpoints().updateManifestURL,
        .defaults = services_.defaults(),
        .capturesDirectory = captures,
        .makeSession =
            audio_->sessionFactory([setting = EchoCancellationSetting(services_.defaults())] {
                return setting.isEnabled();
            }),
        .conference = &audio_->conference(),
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
        .notifier = shell.notifier,
    });
    audio_->watch();
}

// A recording on a server that is gone would gather only silence: it ends now, so that
// what it heard is kept and delivered. One started by hand goes on in a new file once a
// server is back; an automatic one starts again by itself when the meeting app holds the
// new server's microphone.
void LinuxDesktop::audioLost() {
    CaptureController& capture = app_->capture();
    if (!capture.isRecording()) return;
    resumeOnRestore_ = !capture.startedAutomatically();
    capture.stop();
}

void LinuxDesktop::audioRestored() {
    if (std::exchange(resumeOnRestore_, false)) app_->capture().start(false);
}

LinuxDesktop::~LinuxDesktop() {
    // The application's recordings and watch use the audio connection and the queues.
    app_.reset();
    audio_.reset();
}

}  // namespace kavo

#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/KavoMeetingsDesktopApp.h"
#include "app/LinuxServices.h"
#include "app/PulseAudioConnection.h"
#include "base/Clock.h"
#include "base/Scheduler.h"
#include "base/SerialQueue.h"

namespace kavo {

// The application on a Linux desktop: the shared services, the audio server connection
// and the conferencing watch on it, and the application built on them. Without an audio
// server the application still runs; starting a recording then says why it cannot, until
// the server is back.
class LinuxDesktop {
public:
    // What the front end does for the application; `main` is its main loop.
    struct Shell {
        Scheduler* main = nullptr;
        std::function<void(const std::string& url)> openURL;
        std::function<void(std::shared_ptr<ProblemReportForm>)> showReport;
        std::function<void()> quit;
    };

    // `services` and `clock` outlive the desktop; every timer and retry waits on `clock`.
    LinuxDesktop(LinuxServices& services, const Clock& clock, Shell shell);
    LinuxDesktop(const LinuxDesktop&) = delete;
    LinuxDesktop& operator=(const LinuxDesktop&) = delete;
    ~LinuxDesktop();

    LinuxServices& services() { return services_; }
    KavoMeetingsDesktopApp& app() { return *app_; }

private:
    void audioLost();
    void audioRestored();

    const Clock& clock_;
    LinuxServices& services_;
    SerialQueue worker_{"brindle.meetings.desktop.worker"};
    std::unique_ptr<PulseAudioConnection> audio_;
    bool resumeOnRestore_ = false;
    std::unique_ptr<KavoMeetingsDesktopApp> app_;
};

}  // namespace kavo

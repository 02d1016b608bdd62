#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/conference/SwitchableConferenceActivitySource.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/CaptureController.h"
#include "platform/linux/PulseAudioPlatform.h"

namespace kavo {

// The program's link to the audio server, made again when the server goes away and comes
// back (PipeWire or PulseAudio restarted under a running program), so that later
// recordings and the conferencing watch work without a restart. A recording under way
// when the server goes keeps running, on the host clock, with silence from then on.
// Main thread only.
class PulseAudioConnection {
public:
    static constexpr Duration kRetryInterval = std::chrono::seconds(5);

    // Called on the main thread when the connection is found lost, and when check() makes
    // one (after a loss, or after a launch without a server).
    struct Events {
        std::function<void()> lost;
        std::function<void()> restored;
    };

    // `clock` and `main` (the conferencing watch's reports and the retry timer)
    // outlive the connection. Connects at once; error() says why when it could not.
    PulseAudioConnection(const Clock& clock, Scheduler& main,
                         std::filesystem::path capturesDirectory, Events events = {});
    PulseAudioConnection(const PulseAudioConnection&) = delete;
    PulseAudioConnection& operator=(const PulseAudioConnection&) = delete;
    ~PulseAudioConnection() = default;

    // Checks the connection every kRetryInterval from now on.
    void watch();
    // Lets go of a lost connection and tries to connect when there is none.
    void check();

    // Why there is no audio server connection now.
    const std::optional<std::string>& error() const { return error_; }
    // Reports from whichever connection is current; nothing holds the microphone while
    // there is none.
    ConferenceActivitySource& conference() { return conference_; }
    // Sessions on the connection current when they are made; without one, sessions whose
    // start fails with error(). `echoCancellation` says, as each session is made, whether
    // it cancels the echo; empty: always.
    CaptureController::SessionFactory sessionFactory(std::function<bool()> echoCancellation = {});

private:
    bool connected() const;
    void connect();

    const Clock& clock_;
    Scheduler& main_;
    const std::filesystem::path capturesDirectory_;
    const Events events_;
    std::unique_ptr<linux_platform::PulseAudioPlatform> platform_;
    // Lost connections stay until the program ends: a recording made on one may still
    // be running, and what it holds must outlive it.
    std::vector<std::unique_ptr<linux_platform::PulseAudioPlatform>> lost_;
    std::optional<std::string> error_;
    // After the connections: the watch and the timer use them, so they go first.
    SwitchableConferenceActivitySource conference_;
    TimerHandle timer_;
    Logger log_{"PulseAudioConnection"};
};

}  // namespace kavo

#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "audio/conference/ConferenceActivitySource.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "base/SerialQueue.h"
#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {

// Which conferencing applications hold the microphone, from the audio server's recording
// streams: a stream holds the microphone when it is not corked and does not record a
// monitor. This program's own streams and the server modules' streams (a remapped source
// records its master through one) never count. Each stream is known by the first of its
// identifiers that names a conferencing application: the Flatpak application id, the
// application id, the process binary, the application name, which is what is reported;
// a table holds the identities of the conferencing applications.
//
// Event-driven: every change of a recording stream or client re-evaluates on a queue of
// its own; a changed activity is applied and handed on on the main thread.
class PulseConferenceActivitySource final : public ConferenceActivitySource {
public:
    static constexpr const char* kQueueLabel = "brindle.meetings.desktop.conference-monitor";

    // Whether a stream's identity is one of a conferencing application's.
    static bool isConferencingIdentity(std::string_view identity);
    // The identity a recording stream is reported by, from its and its client's
    // properties, when it is a conferencing application's.
    static std::optional<std::string> conferencingIdentity(
        const std::map<std::string, std::string>& stream,
        const std::map<std::string, std::string>& client);

    PulseConferenceActivitySource(PulseContext& pulse, Scheduler& main, pid_t ownProcess);
    PulseConferenceActivitySource(const PulseConferenceActivitySource&) = delete;
    PulseConferenceActivitySource& operator=(const PulseConferenceActivitySource&) = delete;
    ~PulseConferenceActivitySource() override;

    ConferenceActivity current() const override;
    ChangeHandler onChange() const override;
    void setOnChange(ChangeHandler handler) override;
    void start() override;
    void stop() override;

    // Waits until the evaluations asked for so far have run (their results may still be
    // on their way to the main thread).
    void flush() {
        queue_.sync([] {});
    }

private:
    // Shared with the work handed to the main thread, which may outlive this object.
    struct Lifeline {
        std::mutex mutex;
        PulseConferenceActivitySource* owner = nullptr;
    };

    ConferenceActivity evaluate() const;
    void apply(const ConferenceActivity& activity);

    PulseContext& pulse_;
    Scheduler& main_;
    const pid_t ownProcess_;
    const std::shared_ptr<Lifeline> lifeline_ = std::make_shared<Lifeline>();
    mutable std::mutex mutex_;
    // Under mutex_.
    ConferenceActivity current_;
    ChangeHandler onChange_;
    bool observing_ = false;
    ListenerRegistration events_;
    Logger log_{"ConferenceAudioMonitor"};
    // Last: its thread stops before what it reaches goes away.
    SerialQueue queue_{kQueueLabel};
};

}  // namespace kavo::linux_platform

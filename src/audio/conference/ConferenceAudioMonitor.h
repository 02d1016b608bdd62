#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/conference/AudioProcessList.h"
#include "audio/conference/ConferenceActivitySource.h"
#include "audio/endpoints/ListenerRegistration.h"
#include "base/Log.h"
#include "base/Scheduler.h"

namespace kavo {

// Which conferencing applications hold the microphone, from the audio hardware's process
// list. Event-driven: it listens for changes of the list and of each conferencing
// process's input state, re-evaluates on its queue and applies a changed activity on the
// main thread. Only processes of the known conferencing applications get listeners.
class ConferenceAudioMonitor final : public ConferenceActivitySource {
public:
    static constexpr const char* kQueueLabel = "brindle.meetings.desktop.conference-monitor";

    // Bundle identifiers of the conferencing applications, in matching order.
    static constexpr std::array<std::string_view, 6> kConferencingBundles = {
        "com.microsoft.teams", "com.microsoft.teams2",       "us.zoom.xos",
        "Cisco-Systems.Spark", "com.cisco.webexmeetingsapp", "com.tinyspeck.slackmacgap"};

    // True for an application's own bundle identifier and for its secondary processes'
    // ("<identifier>.<anything>"), ignoring letter case.
    static bool isConferencingBundle(std::string_view bundleIdentifier);
    // "a, b" in ascending order, "none" for no application.
    static std::string describe(const ConferenceActivity& activity);

    // The listeners the monitor installed, so that all of them can be removed on release
    // from whatever thread releases it.
    class ListenerRegistry {
    public:
        enum class Kind { processList, process };

        struct Registration {
            Kind kind;
            AudioObjectID object;
            AudioObjectPropertySelector selector;
            ListenerRegistration listener;
        };

        void add(Registration registration);
        std::vector<AudioObjectID> objects(Kind kind) const;
        // The listeners are removed after the lock is released.
        void remove(Kind kind);
        void removeAll();
        std::size_t size() const;

    private:
        mutable std::mutex lock_;
        std::vector<Registration> installed_;
    };

    // `queue` runs every platform read and evaluation ("brindle.meetings.desktop.
    // conference-monitor" in the application); `main` is where the activity is applied.
    ConferenceAudioMonitor(AudioProcessList& processes, Scheduler& queue, Scheduler& main,
                           std::int32_t ownProcessID);
    ConferenceAudioMonitor(const ConferenceAudioMonitor&) = delete;
    ConferenceAudioMonitor& operator=(const ConferenceAudioMonitor&) = delete;
    ~ConferenceAudioMonitor() override;

    ConferenceActivity current() const override { return current_; }
    ChangeHandler onChange() const override { return onChange_; }
    void setOnChange(ChangeHandler handler) override { onChange_ = std::move(handler); }
    void start() override;
    // Removes every listener and stops reporting; start() observes anew.
    void stop() override;

    bool isObserving() const { return observing_.load(); }
    const ListenerRegistry& listeners() const { return listeners_; }

private:
    struct Candidate {
        AudioObjectID process;
        std::string bundleIdentifier;
    };

    // Shared with the listeners and the work handed to the main thread, which may
    // outlive the monitor. Its mutex is held while the monitor is used from them.
    struct Lifeline {
        std::mutex mutex;
        ConferenceAudioMonitor* owner = nullptr;
    };

    static void evaluateIfAlive(const std::shared_ptr<Lifeline>& lifeline, bool refreshListeners);
    void evaluate(bool refreshListeners);
    std::vector<Candidate> candidates();
    void refreshProcessListeners(const std::vector<Candidate>& candidates);
    void apply(const ConferenceActivity& activity);

    AudioProcessList& processes_;
    Scheduler& queue_;
    Scheduler& main_;
    const std::int32_t ownProcessID_;
    // Resolved on the queue on first use, for the rest of the run.
    std::optional<std::optional<AudioObjectID>> ownProcess_;
    const std::shared_ptr<Lifeline> lifeline_ = std::make_shared<Lifeline>();
    ConferenceActivity current_;
    ChangeHandler onChange_;
    std::atomic<bool> observing_ = false;
    ListenerRegistry listeners_;
    Logger log_{"ConferenceAudioMonitor"};
};

}  // namespace kavo

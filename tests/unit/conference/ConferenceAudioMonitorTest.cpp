#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/conference/ConferenceAudioMonitor.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "base/SerialQueue.h"

namespace kavo {
namespace {

constexpr std::int32_t kOwnPID = 4242;
constexpr AudioObjectID kOwnObject = 90;
constexpr auto kRunningInput = audio_property::kProcessIsRunningInput;
constexpr auto kProcessList = audio_property::kProcessObjectList;

// The hardware's process list in memory: processes with their bundle identifiers and input
// state (absent: the read fails), and listeners that the test fires.
class FakeProcessList final : public AudioProcessList {
public:
    struct Process {
        std::optional<std::string> bundle;
        std::optional<std::uint32_t> runningInput = 0;
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        Scheduler* queue;
        AudioHardware::PropertyListener callback;
        std::shared_ptr<bool> active;
    };

    void add(AudioObjectID object, Process process) {
        order.push_back(object);
        processes[object] = std::move(process);
    }
    PropertyRead<std::vector<AudioObjectID>> readProcessObjects() const override {
        if (listFails) return {-1, {}};
        return {kAudioNoError, order};
    }
    PropertyRead<AudioObjectID> readProcessObject(std::int32_t processID) const override {
        return {kAudioNoError, processID == kOwnPID ? kOwnObject : kAudioObjectUnknown};
    }
    // A failed read's value is whatever was left in the buffer.
    PropertyRead<std::string> readBundleIdentifier(AudioObjectID process) const override {
        const auto it = processes.find(process);
        if (it == processes.end() || !it->second.bundle) return {-1, "us.zoom.xos"};
        return {kAudioNoError, *it->second.bundle};
    }
    PropertyRead<std::uint32_t> readIsRunningInput(AudioObjectID process) const override {
        const auto it = processes.find(process);
        if (it == processes.end() || !it->second.runningInput) return {-1, 1};
        return {kAudioNoError, *it->second.runningInput};
    }
    AudioHardware::ListenerInstallation addPropertyListener(
        AudioObjectID object, AudioObjectPropertySelector selector, Scheduler& queue,
        AudioHardware::PropertyListener listener) override {
        ++listenersAdded;
        auto active = std::make_shared<bool>(true);
        listeners.push_back({object, selector, &queue, std::move(listener), active});
        return {kAudioNoError, ListenerRegistration([active] { *active = false; })};
    }

    std::vector<AudioObjectID> activeListeners(AudioObjectPropertySelector selector) const {
        std::vector<AudioObjectID> result;
        for (const auto& l : listeners) {
            if (*l.active && l.selector == selector) result.push_back(l.object);
        }
        return result;
    }
    int fire(AudioObjectID object, AudioObjectPropertySelector selector) {
        int fired = 0;
        for (const auto& l : listeners) {
            if (*l.active && l.object == object && l.selector == selector) {
                l.queue->post(l.callback);
                ++fired;
            }
        }
        return fired;
    }
    void setRunning(AudioObjectID object, std::uint32_t value) {
        processes[object].runningInput = value;
    }

    std::vector<AudioObjectID> order;
    std::map<AudioObjectID, Process> processes;
    bool listFails = false;
    int listenersAdded = 0;
    std::vector<Listener> listeners;
};

class ConferenceAudioMonitorTest : public ::testing::Test {
protected:
    void makeMonitor() {
        monitor = std::make_unique<ConferenceAudioMonitor>(hardware, queue, main, kOwnPID);
        monitor->setOnChange([this](const ConferenceActivity& a) { reported.push_back(a.apps); });
    }
    void settle() {
        while (queue.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
    void change(AudioObjectID process, std::uint32_t running) {
        hardware.setRunning(process, running);
        hardware.fire(process, kRunningInput);
        settle();
    }

    ManualClock clock;
    ManualScheduler queue{clock};
    ManualScheduler main{clock};
    FakeProcessList hardware;
    LogCapture logs;
    std::unique_ptr<ConferenceAudioMonitor> monitor;
    std::vector<std::set<std::string>> reported;
};

TEST(ConferencingBundleTest, MatchesKnownApplicationsAndTheirHelpersIgnoringCase) {
    for (const char* yes :
         {"COM.MICROSOFT.TEAMS2", "com.microsoft.teams2.helper", "cisco-systems.spark",
          "us.zoom.xos", "com.tinyspeck.slackmacgap.helper.renderer"}) {
        EXPECT_TRUE(ConferenceAudioMonitor::isConferencingBundle(yes)) << yes;
    }
    for (const char* no : {"com.microsoft.teamsx", "us.zoom", "org.mozilla.firefox", ""}) {
        EXPECT_FALSE(ConferenceAudioMonitor::isConferencingBundle(no)) << no;
    }
}

TEST_F(ConferenceAudioMonitorTest, ReportsConferencingAppsHoldingTheMicrophoneWhenTheSetChanges) {
    hardware.add(10, {"us.zoom.xos", 1});
    hardware.add(11, {"us.zoom.xos", 1});          // a second process of the same app
    hardware.add(12, {"org.mozilla.firefox", 1});  // holds the mic, not conferencing
    hardware.add(13, {"com.microsoft.teams2", 0});
    hardware.add(14, {std::nullopt, 1});                      // bundle identifier unreadable
    hardware.add(15, {"com.microsoft.teams", std::nullopt});  // input state unreadable
    hardware.add(kOwnObject, {"us.zoom.xos", 1});  // this program, whatever it calls itself
    makeMonitor();
    monitor->start();
    EXPECT_TRUE(reported.empty()) << "nothing is applied before the main thread runs";
    settle();
    const std::set<std::string> zoom{"us.zoom.xos"};
    EXPECT_EQ(reported, std::vector<std::set<std::string>>{zoom});
    EXPECT_EQ(monitor->current().apps, zoom);
    EXPECT_EQ(hardware.activeListeners(kRunningInput),
              (std::vector<AudioObjectID>{10, 11, 13, 15}));

    change(10, 1);  // the same set again: neither a log line nor a report
    EXPECT_EQ(reported.size(), 1U);
    change(11, 0);
    change(13, 1);
    ASSERT_EQ(reported.size(), 2U);
    EXPECT_EQ(reported[1], (std::set<std::string>{"com.microsoft.teams2", "us.zoom.xos"}));
    change(10, 0);
    change(13, 0);
    EXPECT_EQ(reported.size(), 4U);
    EXPECT_TRUE(reported.back().empty());
    EXPECT_EQ(logs.messages("ConferenceAudioMonitor"),
              (std::vector<std::string>{
                  "Conferencing apps holding the microphone: us.zoom.xos",
                  "Conferencing apps holding the microphone: com.microsoft.teams2, us.zoom.xos",
                  "Conferencing apps holding the microphone: com.microsoft.teams2",
                  "Conferencing apps holding the microphone: none"}));

    hardware.listFails = true;
    hardware.add(16, {"us.zoom.xos", 1});
    hardware.fire(kAudioObjectSystemObject, kProcessList);
    settle();
    EXPECT_EQ(reported.size(), 4U) << "an unreadable list is an empty one";
}

TEST_F(ConferenceAudioMonitorTest, ListensOnlyToConferencingProcessesAndKeepsUnchangedListeners) {
    hardware.add(10, {"us.zoom.xos", 0});
    hardware.add(11, {"org.mozilla.firefox", 0});
    makeMonitor();
    monitor->start();
    monitor->start();  // a second start does nothing
    settle();
    EXPECT_TRUE(monitor->isObserving());
    EXPECT_EQ(hardware.activeListeners(kProcessList),
              std::vector<AudioObjectID>{kAudioObjectSystemObject});
    EXPECT_EQ(hardware.activeListeners(kRunningInput), std::vector<AudioObjectID>{10});
    const int added = hardware.listenersAdded;

    // Another non-conferencing process arrives: the candidates are the same.
    hardware.add(12, {"com.spotify.client", 1});
    hardware.fire(kAudioObjectSystemObject, kProcessList);
    settle();
    EXPECT_EQ(hardware.listenersAdded, added);

    // A conferencing app launched later is noticed through the list and then watched.
    hardware.add(13, {"com.tinyspeck.slackmacgap", 1});
    hardware.fire(kAudioObjectSystemObject, kProcessList);
    settle();
    EXPECT_EQ(hardware.activeListeners(kRunningInput), (std::vector<AudioObjectID>{10, 13}));
    EXPECT_EQ(reported, std::vector<std::set<std::string>>{{"com.tinyspeck.slackmacgap"}});
    EXPECT_EQ(monitor->listeners().size(), 3U);
    change(10, 1);  // its own listener brings the news
    EXPECT_EQ(reported.back(), (std::set<std::string>{"com.tinyspeck.slackmacgap", "us.zoom.xos"}));

    monitor.reset();
    EXPECT_TRUE(hardware.activeListeners(kProcessList).empty());
    EXPECT_TRUE(hardware.activeListeners(kRunningInput).empty());
}

TEST_F(ConferenceAudioMonitorTest, WorkQueuedBeforeReleaseOrStopReportsNothing) {
    hardware.add(10, {"us.zoom.xos", 1});
    makeMonitor();
    monitor->start();
    queue.runUntilIdle();  // evaluated; the result waits for the main thread
    monitor.reset();
    main.runUntilIdle();
    EXPECT_TRUE(reported.empty());

    makeMonitor();
    monitor->start();
    settle();
    ASSERT_EQ(reported.size(), 1U);
    hardware.setRunning(10, 0);
    hardware.fire(10, kRunningInput);
    queue.runUntilIdle();
    monitor->stop();
    EXPECT_EQ(monitor->listeners().size(), 0U);
    EXPECT_EQ(hardware.fire(10, kRunningInput), 0);
    settle();
    EXPECT_EQ(reported.size(), 1U);
}

TEST(ConferenceAudioMonitorQueueTest, EvaluatesOnItsOwnQueueAndAppliesOnTheMainThread) {
    ManualClock clock;
    ManualScheduler main{clock};
    FakeProcessList hardware;
    hardware.add(10, {"com.cisco.webexmeetingsapp", 1});
    SerialQueue queue{ConferenceAudioMonitor::kQueueLabel};
    std::vector<ConferenceActivity> reported;
    {
        ConferenceAudioMonitor monitor(hardware, queue, main, kOwnPID);
        monitor.setOnChange([&](const ConferenceActivity& a) {
            EXPECT_TRUE(main.isCurrent());
            reported.push_back(a);
        });
        monitor.start();
        queue.sync([] {});
        EXPECT_TRUE(reported.empty());
        main.runUntilIdle();
        ASSERT_EQ(reported.size(), 1U);

        // Released with an evaluation still waiting on the queue.
        hardware.setRunning(10, 0);
        queue.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        hardware.fire(10, kRunningInput);
    }
    queue.sync([] {});
    main.runUntilIdle();
    EXPECT_EQ(reported.size(), 1U);
    EXPECT_TRUE(hardware.activeListeners(kRunningInput).empty());
}

}  // namespace
}  // namespace kavo

#include "audio/conference/ConferenceAudioMonitor.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "base/SerialQueue.h"

namespace kavo {
namespace {

constexpr std::int32_t kOwnPID = 4242;
constexpr AudioObjectID kOwnObject = 90;

// The hardware's process list held in memory: processes with their bundle identifiers
// and input state, failing reads on request, and listeners that the test fires.
class FakeProcessList final : public AudioProcessList {
public:
    struct Process {
        std::optional<std::string> bundle;  // absent: the read fails
        std::optional<std::uint32_t> runningInput = 0;
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        Scheduler* queue;
        AudioHardware::PropertyListener callback;
        std::shared_ptr<bool> active;
    };

    std::vector<AudioObjectID> order;
    std::map<AudioObjectID, Process> processes;
    bool listFails = false;
    OSStatus processListListenerStatus = kAudioNoError;
    int listenersAdded = 0;
    std::vector<Listener> listeners;

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
    PropertyRead<std::string> readBundleIdentifier(AudioObjectID process) const override {
        const auto it = processes.find(process);
        // A failed read's value is whatever was left in the buffer.
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
        if (selector == audio_property::kProcessObjectList && processListListenerStatus != kAudioNoError) {
            return {processListListenerStatus, {}};
        }
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
    void setRunning(AudioObjectID object, std::uint32_t value) { processes[object].runningInput = value; }
};

class ConferenceAudioMonitorTest : public ::testing::Test {
protected:
    void makeMonitor() {
        monitor = std::make_unique<ConferenceAudioMonitor>(hardware, queue, main, kOwnPID);
        monitor->setOnChange([this](const ConferenceActivity& a) { reported.push_back(a); });
    }
    void settle() {
        while (queue.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
    std::vector<std::string> logLines() const { return logs.messages("ConferenceAudioMonitor"); }

    ManualClock clock;
    ManualScheduler queue{clock};
    ManualScheduler main{clock};
    FakeProcessList hardware;
    LogCapture logs;
    std::unique_ptr<ConferenceAudioMonitor> monitor;
    std::vector<ConferenceActivity> reported;
};

TEST(ConferencingBundleTest, MatchesKnownApplicationsAndTheirHelpersIgnoringCase) {
    EXPECT_TRUE(ConferenceAudioMonitor::isConferencingBundle("COM.MICROSOFT.TEAMS2"));
    EXPECT_TRUE(ConferenceAudioMonitor::isConferencingBundle("com.microsoft.teams2.helper"));
    EXPECT_TRUE(ConferenceAudioMonitor::isConferencingBundle("cisco-systems.spark"));
    EXPECT_TRUE(ConferenceAudioMonitor::isConferencingBundle("us.zoom.xos"));
    EXPECT_TRUE(ConferenceAudioMonitor::isConferencingBundle("com.tinyspeck.slackmacgap.helper.renderer"));

    EXPECT_FALSE(ConferenceAudioMonitor::isConferencingBundle("com.microsoft.teamsx"));
    EXPECT_FALSE(ConferenceAudioMonitor::isConferencingBundle("us.zoom"));
    EXPECT_FALSE(ConferenceAudioMonitor::isConferencingBundle("org.mozilla.firefox"));
    EXPECT_FALSE(ConferenceAudioMonitor::isConferencingBundle(""));
}

TEST_F(ConferenceAudioMonitorTest, ReportsConferencingAppsHoldingTheMicrophoneOnlyWhenTheSetChanges) {
    hardware.add(10, {"us.zoom.xos", 1});
    hardware.add(11, {"us.zoom.xos", 1});          // a second process of the same app
    hardware.add(12, {"org.mozilla.firefox", 1});  // holds the mic, not conferencing
    hardware.add(13, {"com.microsoft.teams2", 0});
    hardware.add(kOwnObject, {"us.zoom.xos", 1});  // this program, whatever it calls itself
    makeMonitor();
    monitor->start();
    EXPECT_TRUE(reported.empty()) << "nothing is applied before the main thread runs";
    settle();

    ASSERT_EQ(reported.size(), 1U);
    const std::set<std::string> zoom{"us.zoom.xos"};
    EXPECT_EQ(reported[0].apps, zoom);
    EXPECT_EQ(monitor->current().apps, zoom);
    EXPECT_EQ(logLines(), std::vector<std::string>{
                              "Conferencing apps holding the microphone: us.zoom.xos"});

    // The same set again: neither a log line nor a report.
    hardware.fire(10, audio_property::kProcessIsRunningInput);
    settle();
    EXPECT_EQ(reported.size(), 1U);
    EXPECT_EQ(logLines().size(), 1U);

    hardware.setRunning(11, 0);
    hardware.setRunning(13, 1);
    ASSERT_EQ(hardware.fire(13, audio_property::kProcessIsRunningInput), 1);
    settle();
    ASSERT_EQ(reported.size(), 2U);
    EXPECT_EQ(reported[1].apps, (std::set<std::string>{"com.microsoft.teams2", "us.zoom.xos"}));
    EXPECT_EQ(logLines().back(), "Conferencing apps holding the microphone: com.microsoft.teams2, us.zoom.xos");

    hardware.setRunning(10, 0);
    hardware.setRunning(13, 0);
    hardware.fire(10, audio_property::kProcessIsRunningInput);
    settle();
    ASSERT_EQ(reported.size(), 3U);
    EXPECT_TRUE(reported[2].apps.empty());
    EXPECT_EQ(logLines().back(), "Conferencing apps holding the microphone: none");
}

TEST_F(ConferenceAudioMonitorTest, FailedReadsCountAsNotHoldingTheMicrophone) {
    hardware.add(10, {std::nullopt, 1});                // bundle identifier unreadable
    hardware.add(11, {"com.microsoft.teams", std::nullopt});  // input state unreadable
    hardware.add(12, {"", 1});
    makeMonitor();
    monitor->start();
    settle();
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(monitor->current().apps.empty());
    EXPECT_EQ(hardware.activeListeners(audio_property::kProcessIsRunningInput), std::vector<AudioObjectID>{11});

    hardware.listFails = true;
    hardware.add(13, {"us.zoom.xos", 1});
    hardware.fire(kAudioObjectSystemObject, audio_property::kProcessObjectList);
    settle();
    EXPECT_TRUE(reported.empty()) << "an unreadable list is an empty one";
}

TEST_F(ConferenceAudioMonitorTest, ListensOnlyToConferencingProcessesAndKeepsUnchangedListeners) {
    hardware.add(10, {"us.zoom.xos", 0});
    hardware.add(11, {"org.mozilla.firefox", 0});
    makeMonitor();
    monitor->start();
    monitor->start();  // a second start does nothing
    settle();
    EXPECT_TRUE(monitor->isObserving());
    EXPECT_EQ(hardware.activeListeners(audio_property::kProcessObjectList),
              std::vector<AudioObjectID>{kAudioObjectSystemObject});
    EXPECT_EQ(hardware.activeListeners(audio_property::kProcessIsRunningInput), std::vector<AudioObjectID>{10});
    const int added = hardware.listenersAdded;

    // Another non-conferencing process arrives: the candidates are the same.
    hardware.add(12, {"com.spotify.client", 1});
    hardware.fire(kAudioObjectSystemObject, audio_property::kProcessObjectList);
    settle();
    EXPECT_EQ(hardware.listenersAdded, added);

    // A conferencing app launched later is noticed through the list and then watched.
    hardware.add(13, {"com.tinyspeck.slackmacgap", 1});
    hardware.fire(kAudioObjectSystemObject, audio_property::kProcessObjectList);
    settle();
    EXPECT_EQ(hardware.activeListeners(audio_property::kProcessIsRunningInput),
              (std::vector<AudioObjectID>{10, 13}));
    ASSERT_EQ(reported.size(), 1U);
    EXPECT_EQ(reported[0].apps, std::set<std::string>{"com.tinyspeck.slackmacgap"});
    EXPECT_EQ(monitor->listeners().size(), 3U);

    // Zoom starts its call: its own listener brings the news.
    hardware.setRunning(10, 1);
    hardware.fire(10, audio_property::kProcessIsRunningInput);
    settle();
    ASSERT_EQ(reported.size(), 2U);
    EXPECT_EQ(reported[1].apps, (std::set<std::string>{"com.tinyspeck.slackmacgap", "us.zoom.xos"}));

    monitor.reset();
    EXPECT_TRUE(hardware.activeListeners(audio_property::kProcessObjectList).empty());
    EXPECT_TRUE(hardware.activeListeners(audio_property::kProcessIsRunningInput).empty());
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
    hardware.fire(10, audio_property::kProcessIsRunningInput);
    queue.runUntilIdle();
    monitor->stop();
    EXPECT_EQ(monitor->listeners().size(), 0U);
    EXPECT_EQ(hardware.fire(10, audio_property::kProcessIsRunningInput), 0);
    settle();
    EXPECT_EQ(reported.size(), 1U);
}

TEST_F(ConferenceAudioMonitorTest, MissingProcessListListenerIsLoggedAndTheFirstEvaluationStillRuns) {
    hardware.processListListenerStatus = -50;
    hardware.add(10, {"Cisco-Systems.Spark", 1});
    makeMonitor();
    monitor->start();
    settle();
    EXPECT_TRUE(logs.contains("ConferenceAudioMonitor",
                              "Could not observe the audio process list; automatic capture will miss "
                              "apps launched later"));
    ASSERT_EQ(reported.size(), 1U);
    EXPECT_EQ(reported[0].apps, std::set<std::string>{"Cisco-Systems.Spark"});
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
        EXPECT_EQ(reported[0].apps, std::set<std::string>{"com.cisco.webexmeetingsapp"});

        // Released with an evaluation still waiting on the queue.
        hardware.setRunning(10, 0);
        queue.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        hardware.fire(10, audio_property::kProcessIsRunningInput);
    }
    queue.sync([] {});
    main.runUntilIdle();
    EXPECT_EQ(reported.size(), 1U);
    EXPECT_TRUE(hardware.activeListeners(audio_property::kProcessIsRunningInput).empty());
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/AtomicFile.h"
#include "capture/files/SidecarTimestamp.h"
#include "unit/capture/CaptureFixture.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using testing::EndpointScript;

constexpr const char* kId = "6F1C0B1E-2D3A-4B5C-8D9E-0F1A2B3C4D5E";

class CaptureSessionTest : public testing::CaptureFixture {
protected:
    std::vector<CaptureSidecar::DeviceEvent> events(std::string_view kind) const {
        std::vector<CaptureSidecar::DeviceEvent> result;
        const auto sidecar = session->sidecar();
        for (const auto& event : sidecar->deviceEvents)
            if (event.kind == kind) result.push_back(event);
        return result;
    }
    std::string rebuildDetail(std::size_t index = 0) const {
        return events("rebuild").at(index).detail.value_or("");
    }

    std::shared_ptr<CaptureSession> session = makeSession(kId);
};

TEST_F(CaptureSessionTest, StartArmsBothEndpointsAndWritesTheSidecarAtOnce) {
    const WallTime startedAt = clock.now();
    const auto url = session->start();
    const auto captures = temp / "Captures";
    EXPECT_EQ(session->artifacts(),
              (CaptureArtifacts{captures / ("capture-" + std::string(kId) + ".wav"),
                                captures / ("capture-" + std::string(kId) + ".json")}));
    EXPECT_EQ(url, session->artifacts()->audioURL);
    EXPECT_EQ(session->state(), CaptureState::running);
    EXPECT_TRUE(endpoints.microphone()->voiceProcessing());
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.system()->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(devices.observerCount(), 1U);

    // The channels run at the rates the endpoints reported before anything flows.
    const auto mixer = session->mixer();
    ASSERT_TRUE(mixer && mixer->isRunning());
    ASSERT_EQ(mixer->channels().size(), 2U);
    EXPECT_EQ(mixer->channels()[0]->name(), "mic");
    EXPECT_EQ(mixer->channels()[0]->sampleRate(), 48'000.0);
    EXPECT_EQ(mixer->channels()[1]->name(), "system");
    EXPECT_EQ(mixer->channels()[1]->sampleRate(), 44'100.0);

    auto expected = CaptureSidecar{};
    expected.captureId = kId;
    expected.audioFileName = "capture-" + std::string(kId) + ".wav";
    expected.startedAt = SidecarTimestamp::format(startedAt);
    EXPECT_EQ(CaptureSidecar::read(*session->sidecarURL()), expected);
    EXPECT_EQ(std::filesystem::file_size(url), 44U);
    EXPECT_EQ(logged(LogLevel::info),
              std::vector<std::string>{"Capture " + std::string(kId) + " running -> capture-" +
                                       kId + ".wav"});

    // Starting again while recording hands back the same file and arms nothing new.
    EXPECT_EQ(session->start(), url);
    EXPECT_EQ(endpoints.microphones().size() + endpoints.systems().size(), 2U);
    session->stop();
}

TEST_F(CaptureSessionTest, AFailedPreparationOrStartUndoesEverythingAndPassesTheError) {
    struct Case {
        EndpointScript microphone, system;
        const char* error;
        Calls microphoneCalls, systemCalls;
    };
    const auto mic = EndpointScript::at(48'000);
    const auto system = EndpointScript::at(44'100);
    const std::vector<Case> cases = {
        {mic, system.failingPrepare("system audio recording not permitted"),
         "system audio recording not permitted", Calls{"prepare", "stop"},
         Calls{"prepare", "stop"}},
        {mic.failingPrepare("no input device"), system, "no input device", Calls{"prepare", "stop"},
         Calls{"prepare", "stop"}},
        {mic, system.failingStart("aggregate device would not start"),
         "aggregate device would not start", Calls{"prepare", "start", "stop"},
         Calls{"prepare", "start", "stop"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].error);
        endpoints.queueMicrophone(cases[i].microphone);
        endpoints.queueSystem(cases[i].system);
        auto failing = makeSession();
        try {
            failing->start();
            ADD_FAILURE() << "start succeeded";
        } catch (const Error& error) {
            EXPECT_STREQ(error.what(), cases[i].error);
        }
        EXPECT_EQ(failing->state(), CaptureState::idle);
        EXPECT_EQ(endpoints.microphone(i)->calls(), cases[i].microphoneCalls);
        EXPECT_EQ(endpoints.system(i)->calls(), cases[i].systemCalls);
        EXPECT_EQ(endpoints.runningCount(), 0U);
        EXPECT_EQ(devices.observerCount(), 0U);
        EXPECT_FALSE(failing->mixer());
        // Nothing was left behind to write a sidecar later.
        scheduler.advance(60s);
        EXPECT_FALSE(std::filesystem::exists(*failing->sidecarURL()));
        EXPECT_TRUE(logged(LogLevel::info).empty());
    }
}

TEST_F(CaptureSessionTest, ADirectoryThatCannotBeCreatedFailsTheStartBeforeAnyEndpoint) {
    std::ofstream(temp / "Captures") << "a file where the folder should be";
    EXPECT_THROW(session->start(), FileError);
    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_TRUE(endpoints.microphones().empty());
}

TEST_F(CaptureSessionTest, TheSidecarIsRewrittenEveryThirtySecondsEvenAfterAFailedWrite) {
    const auto audio = session->start();
    const auto url = *session->sidecarURL();
    scheduler.advance(29s);
    EXPECT_EQ(CaptureSidecar::read(url).durationSeconds, 0);
    // Whatever the mixer has written when the timer fires: the tick due at the same
    // instant may come just before or just after.
    scheduler.advance(1s);
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 30.0, 0.11);

    std::filesystem::remove(url);
    std::filesystem::create_directory(url);
    scheduler.advance(30s);
    const auto errors = logged(LogLevel::error);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_TRUE(errors[0].starts_with("Sidecar write failed: ")) << errors[0];
    EXPECT_EQ(session->state(), CaptureState::running);

    std::filesystem::remove(url);
    scheduler.advance(30s);
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 90.0, 0.11);
    session->stop();
    EXPECT_EQ(std::filesystem::file_size(audio), 44U + 90U * 32'000U);
    // No refresh after the end overwrites the final sidecar.
    scheduler.advance(90s);
    EXPECT_TRUE(CaptureSidecar::read(url).endedAt);
}

TEST_F(CaptureSessionTest, NotificationsWithinTheDebounceMergeIntoOneRebuildOfTheUnion) {
    session->start();
    const WallTime first = clock.now();
    devices.setDefaultInput(kHeadset);
    scheduler.advance(100ms);
    devices.setDefaultOutput(kHeadset);
    scheduler.advance(100ms);
    devices.setDefaultInput(kBuiltInMic);
    scheduler.advance(299ms);
    EXPECT_EQ(endpoints.microphones().size() + endpoints.systems().size(), 2U);

    scheduler.advance(2ms);
    ASSERT_EQ(endpoints.microphones().size(), 2U);
    ASSERT_EQ(endpoints.systems().size(), 2U);
    // The first microphone cannot follow in place, so it is replaced.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.system(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.runningCount(), 2U);

    const std::string summary =
        "both deviceChanged: microphone 0 ms gap (rebuilt), systemAudio 0 ms gap, 0 ms total";
    const auto changes = events("deviceChange");
    ASSERT_EQ(changes.size(), 3U);
    EXPECT_EQ(changes[0].detail, "defaultInputDevice -> microphone");
    EXPECT_EQ(changes[1].detail, "defaultOutputDevice -> systemAudio");
    EXPECT_EQ(changes[2].detail, "defaultInputDevice -> microphone");
    ASSERT_EQ(events("rebuild").size(), 1U);
    EXPECT_EQ(rebuildDetail(), summary);
    // 0.3 s after the last notification, and on disk at once.
    EXPECT_EQ(events("rebuild")[0].at, SidecarTimestamp::format(first + 500ms));
    EXPECT_EQ(CaptureSidecar::read(*session->sidecarURL()).deviceEvents,
              session->sidecar()->deviceEvents);
    EXPECT_EQ(logged(LogLevel::notice).back(), "Rebuilt " + summary);
    scheduler.advance(5s);
    EXPECT_EQ(events("rebuild").size(), 1U);
    session->stop();
}

// The server moves what plays to the new output at once: the system audio follows at
// once too, and a change that comes after waits out the debounce. The old endpoint keeps
// delivering while its successor prepares, so no gap is counted for it, and the
// microphone is left alone.
TEST_F(CaptureSessionTest, AnOutputChangeRebuildsTheSystemAudioAtOnceAndLaterOnesAfterTheDebounce) {
    endpoints.queueSystem(EndpointScript::at(44'100));
    endpoints.queueSystem(EndpointScript::at(96'000).preparingFor(40ms));
    session->start();
    devices.setDefaultOutput(kDisplay);
    scheduler.runUntilIdle();
    ASSERT_EQ(endpoints.systems().size(), 2U);
    EXPECT_EQ(endpoints.system(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(session->mixer()->channels()[1]->sampleRate(), 96'000.0);
    EXPECT_EQ(rebuildDetail(), "systemAudio deviceChanged: systemAudio 0 ms gap, 40 ms total");

    scheduler.advance(100ms);
    devices.setDefaultOutput(kHeadset);
    scheduler.advance(100ms);
    devices.setDefaultOutput(kSpeaker);
    scheduler.advance(299ms);
    EXPECT_EQ(endpoints.systems().size(), 2U);
    scheduler.advance(2ms);
    EXPECT_EQ(endpoints.systems().size(), 3U);
    EXPECT_EQ(events("rebuild").size(), 2U);
    EXPECT_EQ(endpoints.microphones().size(), 1U);
    session->stop();
}

// The microphone is first re-pointed in place; only when that fails is it rebuilt, and
// the failed attempt counts into the gap.
TEST_F(CaptureSessionTest, AMicrophoneIsRepointedToTheNewDeviceOrRebuiltWhenThatFails) {
    endpoints.queueMicrophone(EndpointScript::at(48'000).repointingTo(16'000, 120ms));
    session->start();
    devices.setDefaultInput(kHeadset);
    scheduler.advance(300ms);
    ASSERT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start", "repoint", "start"}));
    EXPECT_EQ(session->mixer()->channels()[0]->sampleRate(), 16'000.0);
    EXPECT_EQ(rebuildDetail(),
              "microphone deviceChanged: microphone 120 ms gap (re-pointed), 120 ms total");
    session->stop();

    endpoints.queueMicrophone(EndpointScript::at(48'000).failingRepoint("input graph gone", 50ms));
    endpoints.queueMicrophone(EndpointScript::at(24'000).preparingFor(70ms));
    session = makeSession();
    session->start();
    devices.setDefaultInput(kBuiltInMic);
    scheduler.advance(300ms);
    EXPECT_TRUE(logs.contains("CaptureSession",
                              "Microphone could not be re-pointed in place "
                              "(input graph gone); rebuilding"));
    ASSERT_EQ(endpoints.microphones().size(), 3U);
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_TRUE(endpoints.microphone(2)->running());
    EXPECT_EQ(session->mixer()->channels()[0]->sampleRate(), 24'000.0);
    EXPECT_EQ(rebuildDetail(),
              "microphone deviceChanged: microphone 120 ms gap (rebuilt), 120 ms total");
    session->stop();
}

TEST_F(CaptureSessionTest, SilentVoiceProcessingWinsTheMergeAndDropsVoiceProcessingForGood) {
    endpoints.microphoneDefault.repoint = EndpointScript::Repoint::follows;
    session->start();
    devices.setDefaultInput(kHeadset);
    scheduler.advance(100ms);
    ASSERT_TRUE(endpoints.microphone()->needsRebuild(EndpointRebuildReason::voiceProcessingSilent));
    scheduler.advance(100ms);
    devices.setDefaultOutput(kDisplay);
    scheduler.advance(300ms);

    ASSERT_EQ(endpoints.microphones().size(), 2U);
    // No re-point is tried: the graph itself is the trouble.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_FALSE(endpoints.microphone(1)->voiceProcessing());
    ASSERT_EQ(events("rebuild").size(), 1U);
    EXPECT_TRUE(
        rebuildDetail().starts_with("both voiceProcessingSilent: microphone 0 ms gap (rebuilt), "))
        << rebuildDetail();

    // Later rebuilds re-point the microphone without voice processing, and the re-pointed
    // endpoint still reaches the session.
    devices.setDefaultInput(kBuiltInMic);
    scheduler.advance(300ms);
    ASSERT_TRUE(endpoints.microphone(1)->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    scheduler.advance(300ms);
    ASSERT_EQ(endpoints.microphones().size(), 2U);
    EXPECT_EQ(endpoints.microphone(1)->calls(),
              (Calls{"prepare", "start", "repoint", "start", "repoint", "start"}));
    session->stop();
}

TEST_F(CaptureSessionTest, FailedRebuildsAreRecordedAndTheCaptureKeepsRunning) {
    endpoints.queueMicrophone(EndpointScript::at(48'000));
    endpoints.queueMicrophone(EndpointScript::at(48'000).failingPrepare("no input device"));
    endpoints.queueSystem(EndpointScript::at(44'100));
    endpoints.queueSystem(EndpointScript::at(44'100).failingPrepare("tap refused"));
    endpoints.queueSystem(EndpointScript::at(44'100).failingStart("device busy"));
    session->start();
    devices.setDefaultInput(kHeadset);
    devices.setDefaultOutput(kHeadset);
    scheduler.advance(300ms);

    // Both defaults moved: the system audio is rebuilt at once, the microphone after the
    // debounce.
    EXPECT_EQ(session->state(), CaptureState::running);
    EXPECT_EQ(logged(LogLevel::error),
              (std::vector<std::string>{"Rebuild systemAudio deviceChanged: systemAudio 0 ms gap, "
                                        "0 ms total incomplete: system prepare: tap refused",
                                        "Rebuild microphone deviceChanged: microphone 0 ms gap "
                                        "(rebuilt), 0 ms total incomplete: microphone prepare: no "
                                        "input device"}));
    // Without a microphone, and with the old system endpoint still delivering.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "stop"}));
    EXPECT_TRUE(endpoints.system(0)->running());
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "stop"}));

    // A later request brings the microphone back with a full build; a system endpoint
    // that fails to start after its rebuild is stopped and left absent.
    devices.setDefaultInput(kBuiltInMic);
    scheduler.advance(300ms);
    ASSERT_EQ(endpoints.microphones().size(), 3U);
    EXPECT_EQ(endpoints.microphone(2)->calls(), (Calls{"prepare", "start"}));
    logs.clear();
    ASSERT_TRUE(endpoints.system(0)->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    scheduler.advance(300ms);
    EXPECT_EQ(endpoints.system(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.system(2)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.runningCount(), 1U);
    EXPECT_EQ(logged(LogLevel::error),
              std::vector<std::string>{"Rebuild systemAudio routeFormatChanged: systemAudio 0 ms "
                                       "gap, 0 ms total incomplete: system start: device busy"});
    session->stop();
    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_EQ(endpoints.runningCount(), 0U);
}

TEST_F(CaptureSessionTest, RequestsPendingWhenStopBeginsOrAfterwardsAreDropped) {
    session->start();
    const auto mic = endpoints.microphone();
    ASSERT_TRUE(mic->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    devices.setDefaultOutput(kDisplay);
    scheduler.advance(100ms);
    devices.setDefaultInput(kHeadset);  // a notification still queued when stop begins
    session->stop();
    EXPECT_EQ(devices.observerCount(), 0U);
    logs.clear();
    scheduler.advance(2s);
    mic->needsRebuild(EndpointRebuildReason::routeFormatChanged);
    setDefaults(kBuiltInMic, kHeadset);
    devices.removeDevice();
    scheduler.advance(2s);
    EXPECT_EQ(endpoints.microphones().size() + endpoints.systems().size(), 2U);
    EXPECT_TRUE(events("rebuild").empty());
    EXPECT_TRUE(logs.entries().empty());
}

TEST_F(CaptureSessionTest, AReleasedSessionStopsItsEndpointsAndIsNotCalledBack) {
    session->start();
    const auto mic = endpoints.microphone();
    session.reset();
    EXPECT_EQ(mic->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(devices.observerCount(), 0U);
    mic->needsRebuild(EndpointRebuildReason::routeFormatChanged);
    devices.setDefaultInput(kHeadset);
    scheduler.advance(60s);
    EXPECT_EQ(endpoints.microphones().size(), 1U);
}

// Recording and rebuilding on the session's own queues in real time are shown against a
// real audio server; here, a start that fails there still reaches the caller.
TEST(CaptureSessionOnItsOwnQueues, HandsStartFailuresToTheCaller) {
    testing::TempDir temp;
    SystemClock clock;
    testing::FakeAudioDevices devices;
    testing::FakeCaptureEndpoints endpoints{clock};
    endpoints.queueSystem(EndpointScript::at(44'100).failingPrepare("tap refused"));
    auto failing = CaptureSession::create({.directory = temp / "Captures",
                                           .factory = endpoints.factory(),
                                           .devices = devices,
                                           .clock = clock,
                                           .control = nullptr,
                                           .mixerQueue = nullptr,
                                           .usesTimers = true,
                                           .captureId = {}});
    EXPECT_THROW(failing->start(), Error);
    EXPECT_EQ(failing->state(), CaptureState::idle);
    EXPECT_EQ(endpoints.runningCount(), 0U);
    EXPECT_EQ(devices.observerCount(), 0U);
}

}  // namespace
}  // namespace kavo

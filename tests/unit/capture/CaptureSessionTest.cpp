#include <gtest/gtest.h>

#include <filesystem>

#include "capture/files/SidecarTimestamp.h"
#include "unit/capture/CaptureFixture.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using testing::EndpointScript;

class CaptureSessionTest : public testing::CaptureFixture {
protected:
    std::vector<CaptureSidecar::DeviceEvent> events(std::string_view kind) const {
        std::vector<CaptureSidecar::DeviceEvent> result;
        const auto sidecar = session->sidecar();
        for (const auto& event : sidecar->deviceEvents)
            if (event.kind == kind) result.push_back(event);
        return result;
    }
    double rate(std::size_t channel) const {
        return session->mixer()->channels().at(channel)->sampleRate();
    }

    std::shared_ptr<CaptureSession> session = makeSession();
};

TEST_F(CaptureSessionTest, AFailedStartUndoesEverythingAndPassesTheError) {
    const EndpointScript unprepared{.prepareFailure = "refused"},
        unstarted{.startFailure = "refused"};
    const std::tuple<EndpointScript, EndpointScript, Calls> cases[] = {
        {{}, unprepared, {"prepare", "stop"}},
        {unprepared, {}, {"prepare", "stop"}},
        {{}, unstarted, {"prepare", "start", "stop"}}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [microphone, system, calls] = cases[i];
        endpoints.queueMicrophone(microphone);
        endpoints.queueSystem(system);
        auto failing = makeSession();
        try {
            failing->start();
            ADD_FAILURE() << "start succeeded";
        } catch (const Error& error) {
            EXPECT_STREQ(error.what(), "refused");
        }
        EXPECT_EQ(failing->state(), CaptureState::idle);
        EXPECT_EQ(endpoints.microphone(i)->calls(), calls) << i;
        EXPECT_EQ(endpoints.system(i)->calls(), calls) << i;
        EXPECT_EQ(devices.observerCount(), 0U);
        // Nothing was left behind to write a sidecar later.
        scheduler.advance(60s);
        EXPECT_FALSE(std::filesystem::exists(*failing->sidecarURL()));
    }
}

TEST_F(CaptureSessionTest, TheSidecarIsRewrittenEveryThirtySecondsEvenAfterAFailedWrite) {
    session->start();
    const auto url = *session->sidecarURL();
    scheduler.advance(29s);
    EXPECT_EQ(CaptureSidecar::read(url).durationSeconds, 0);
    // The mixer tick due at the same instant may come just before or after the timer.
    scheduler.advance(1s);
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 30.0, 0.11);

    std::filesystem::remove(url);
    std::filesystem::create_directory(url);
    scheduler.advance(30s);
    ASSERT_EQ(logged(LogLevel::error).size(), 1U);
    EXPECT_EQ(session->state(), CaptureState::running);

    std::filesystem::remove(url);
    scheduler.advance(30s);
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 90.0, 0.11);
    session->stop();
    // No refresh after the end overwrites the final sidecar.
    scheduler.advance(90s);
    EXPECT_TRUE(CaptureSidecar::read(url).endedAt);
}

TEST_F(CaptureSessionTest, NotificationsWithinTheDebounceMergeIntoOneRebuildOfTheUnion) {
    session->start();
    const WallTime first = clock.now();
    devices.removeDevice();  // moved neither default
    scheduler.runUntilIdle();
    devices.setDefaultInput(kHeadset);
    scheduler.advance(100ms);
    // A dock plugged in: the first notification sees both defaults move.
    devices.removeDevice();
    setDefaults(kBuiltInMic, kDisplay);
    scheduler.advance(100ms);
    devices.setDefaultInput(kHeadset);
    scheduler.advance(299ms);
    EXPECT_EQ(endpoints.microphones().size() + endpoints.systems().size(), 2U);

    scheduler.advance(2ms);
    ASSERT_EQ(endpoints.microphones().size(), 2U);
    ASSERT_EQ(endpoints.systems().size(), 2U);
    // The first microphone cannot follow in place, so it is replaced.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.system(0)->calls(), (Calls{"prepare", "start", "stop"}));
    std::vector<std::string> details;
    for (const auto& event : events("deviceChange")) details.push_back(*event.detail);
    EXPECT_EQ(details, (Calls{"defaultInputDevice -> microphone", "deviceList -> both",
                              "defaultInputDevice -> microphone"}));
    ASSERT_EQ(events("rebuild").size(), 1U);
    // 0.3 s after the last notification, and on disk at once.
    EXPECT_EQ(events("rebuild")[0].at, SidecarTimestamp::format(first + 500ms));
    EXPECT_EQ(CaptureSidecar::read(*session->sidecarURL()).deviceEvents,
              session->sidecar()->deviceEvents);
    session->stop();
}

// The microphone is first re-pointed in place; only when that fails is it rebuilt, and
// the failed attempt counts into the gap.
TEST_F(CaptureSessionTest, AMicrophoneIsRepointedToTheNewDeviceOrRebuiltWhenThatFails) {
    endpoints.queueMicrophone({.repointRate = 16'000, .repointTakes = 120ms});
    endpoints.queueMicrophone({.repointFailure = "input graph gone", .repointTakes = 50ms});
    endpoints.queueMicrophone({.rate = 24'000, .prepareTakes = 70ms});
    for (const auto& [input, calls, channelRate, detail] :
         {std::tuple{kHeadset, Calls{"prepare", "start", "repoint", "start"}, 16'000.0,
                     "microphone deviceChanged: microphone 120 ms gap (re-pointed), 120 ms total"},
          {kBuiltInMic, Calls{"prepare", "start", "repoint", "stop"}, 24'000.0,
           "microphone deviceChanged: microphone 120 ms gap (rebuilt), 120 ms total"}}) {
        session = makeSession();
        const auto mic = endpoints.microphones().size();
        session->start();
        devices.setDefaultInput(input);
        scheduler.advance(300ms);
        EXPECT_EQ(endpoints.microphone(mic)->calls(), calls);
        EXPECT_EQ(rate(0), channelRate);
        EXPECT_EQ(events("rebuild").at(0).detail, detail);
        // The endpoint that now records still reaches the session.
        ASSERT_TRUE(endpoints.microphones().back()->needsRebuild(
            EndpointRebuildReason::routeFormatChanged));
        scheduler.advance(300ms);
        EXPECT_EQ(events("rebuild").size(), 2U);
        session->stop();
    }
    EXPECT_EQ(endpoints.microphones().size(), 4U);
}

TEST_F(CaptureSessionTest, FailedRebuildsAreRecordedAndTheCaptureKeepsRunning) {
    endpoints.queueMicrophone({});
    endpoints.queueMicrophone({.prepareFailure = "no input device"});
    endpoints.queueSystem({.rate = 44'100});
    endpoints.queueSystem({.prepareFailure = "tap refused"});
    session->start();
    devices.setDefaultInput(kHeadset);
    devices.setDefaultOutput(kHeadset);
    scheduler.advance(300ms);

    // Both failures told; without a microphone, and with the old system endpoint still
    // delivering.
    EXPECT_EQ(session->state(), CaptureState::running);
    const auto errors = logged(LogLevel::error);
    ASSERT_EQ(errors.size(), 2U);
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "stop"}));
    EXPECT_TRUE(endpoints.system(0)->running());
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "stop"}));

    // A later request brings the microphone back with a full build.
    devices.setDefaultInput(kBuiltInMic);
    scheduler.advance(300ms);
    EXPECT_EQ(endpoints.microphone(2)->calls(), (Calls{"prepare", "start"}));
    session->stop();
    EXPECT_EQ(endpoints.runningCount(), 0U);
}

// Requests pending when the stop begins, or made after it or after the session is gone,
// rebuild nothing.
TEST_F(CaptureSessionTest, AStoppedOrReleasedSessionIsNotCalledBack) {
    session->start();
    const auto mic = endpoints.microphone();
    ASSERT_TRUE(mic->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    devices.setDefaultOutput(kDisplay);
    scheduler.advance(100ms);
    devices.setDefaultInput(kHeadset);
    session->stop();
    EXPECT_EQ(devices.observerCount(), 0U);
    scheduler.advance(2s);
    mic->needsRebuild(EndpointRebuildReason::routeFormatChanged);
    scheduler.advance(2s);
    EXPECT_EQ(endpoints.microphones().size(), 1U);

    session = makeSession();
    session->start();
    const auto second = endpoints.microphone(1);
    session.reset();
    EXPECT_EQ(second->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(devices.observerCount(), 0U);
    second->needsRebuild(EndpointRebuildReason::routeFormatChanged);
    devices.setDefaultInput(kBuiltInMic);
    scheduler.advance(60s);
    EXPECT_EQ(endpoints.microphones().size(), 2U);
}

// The real-time paths of the session's own queues are shown against a real audio server;
// a start that fails there must still reach the caller.
TEST(CaptureSessionOnItsOwnQueues, HandsStartFailuresToTheCaller) {
    testing::TempDir temp;
    SystemClock clock;
    testing::FakeAudioDevices devices;
    testing::FakeCaptureEndpoints endpoints{clock};
    endpoints.queueSystem({.prepareFailure = "tap refused"});
    EXPECT_THROW(CaptureSession::create({.directory = temp / "Captures",
                                         .factory = endpoints.factory(),
                                         .devices = devices,
                                         .clock = clock})
                     ->start(),
                 Error);
}

}  // namespace
}  // namespace kavo

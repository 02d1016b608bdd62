#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/AtomicFile.h"
#include "base/ManualScheduler.h"
#include "base/SerialQueue.h"
#include "capture/CaptureSession.h"
#include "capture/files/SidecarTimestamp.h"
#include "support/FakeAudioHardware.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using testing::EndpointScript;
using testing::FakeAudioHardware;
using testing::FakeCaptureEndpoints;
using testing::FakeEndpointState;
using testing::TempDir;
using Calls = std::vector<std::string>;

constexpr AudioObjectID kBuiltInMic = 10;
constexpr AudioObjectID kBuiltInSpeaker = 11;
constexpr AudioObjectID kHeadset = 12;
constexpr AudioObjectID kDisplay = 13;

class CaptureSessionTest : public ::testing::Test {
protected:
    CaptureSessionTest() {
        hardware.addDevice(
            {.id = kBuiltInMic, .uid = "BuiltInMic", .nominalRate = 48'000, .subDevices = {}});
        hardware.addDevice({.id = kBuiltInSpeaker,
                            .uid = "BuiltInSpeaker",
                            .nominalRate = 48'000,
                            .subDevices = {}});
        hardware.addDevice(
            {.id = kHeadset, .uid = "USBHeadset", .nominalRate = 48'000, .subDevices = {}});
        hardware.addDevice(
            {.id = kDisplay, .uid = "HDMIDisplay", .nominalRate = 48'000, .subDevices = {}});
        hardware.setDefaultInput(kBuiltInMic);
        hardware.setDefaultOutput(kBuiltInSpeaker);
        scheduler.runUntilIdle();
    }

    std::shared_ptr<CaptureSession> makeSession() {
        return CaptureSession::create({.directory = capturesDirectory(),
                                       .factory = endpoints.factory(),
                                       .hardware = hardware,
                                       .clock = clock,
                                       .readDeviceSnapshot = {},
                                       .control = &scheduler,
                                       .mixerQueue = &scheduler,
                                       .usesTimers = true,
                                       .captureId = "6F1C0B1E-2D3A-4B5C-8D9E-0F1A2B3C4D5E"});
    }

    std::filesystem::path capturesDirectory() const { return temp / "Captures"; }

    std::vector<std::string> logged(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& entry : logs.entries()) {
            if (entry.category == "CaptureSession" && entry.level == level)
                result.push_back(entry.message);
        }
        return result;
    }

    std::vector<CaptureSidecar::DeviceEvent> events(const CaptureSession& session,
                                                    std::string_view kind) const {
        std::vector<CaptureSidecar::DeviceEvent> result;
        const auto sidecar = session.sidecar();
        for (const auto& event : sidecar->deviceEvents) {
            if (event.kind == kind) result.push_back(event);
        }
        return result;
    }

    // Plays `seconds` of a constant signal from `endpoint` in 10 ms buffers while simulated
    // time moves on, so that the mixer finds real frames at each tick.
    void play(FakeEndpointState& endpoint, double rate, double seconds) {
        const auto frames = static_cast<std::int64_t>(rate / 100);
        std::vector<float> buffer(static_cast<std::size_t>(frames), 0.25f);
        for (int step = 0; step < static_cast<int>(seconds * 100); ++step) {
            endpoint.deliver(buffer.data(), frames, clock.hostTime());
            scheduler.advance(std::chrono::milliseconds(10));
        }
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    FakeAudioHardware hardware{clock};
    FakeCaptureEndpoints endpoints{clock};
    TempDir temp;
    LogCapture logs;
};

// --- Start ---

TEST_F(CaptureSessionTest, StartArmsBothEndpointsAndWritesTheSidecarAtOnce) {
    auto session = makeSession();
    const WallTime startedAt = clock.now();
    const auto url = session->start();

    const std::string id = "6F1C0B1E-2D3A-4B5C-8D9E-0F1A2B3C4D5E";
    EXPECT_EQ(url, capturesDirectory() / ("capture-" + id + ".wav"));
    EXPECT_EQ(session->state(), CaptureState::running);
    EXPECT_EQ(session->artifacts(),
              (CaptureArtifacts{url, capturesDirectory() / ("capture-" + id + ".json")}));
    EXPECT_EQ(session->startedAt(), startedAt);

    ASSERT_EQ(endpoints.microphones().size(), 1U);
    ASSERT_EQ(endpoints.systems().size(), 1U);
    EXPECT_TRUE(endpoints.microphone()->voiceProcessing());
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.system()->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.runningCount(), 2U);

    // The channels run at the rates the endpoints reported before anything flows.
    const auto mixer = session->mixer();
    ASSERT_TRUE(mixer);
    EXPECT_TRUE(mixer->isRunning());
    ASSERT_EQ(mixer->channels().size(), 2U);
    EXPECT_EQ(mixer->channels()[0]->name(), "mic");
    EXPECT_EQ(mixer->channels()[0]->sampleRate(), 48'000.0);
    EXPECT_EQ(mixer->channels()[1]->name(), "system");
    EXPECT_EQ(mixer->channels()[1]->sampleRate(), 44'100.0);
    EXPECT_EQ(hardware.listenerCount(), 3U);

    const auto onDisk = CaptureSidecar::read(*session->sidecarURL());
    EXPECT_EQ(onDisk.captureId, id);
    EXPECT_EQ(onDisk.audioFileName, "capture-" + id + ".wav");
    EXPECT_EQ(onDisk.startedAt, SidecarTimestamp::format(startedAt));
    EXPECT_FALSE(onDisk.endedAt);
    EXPECT_EQ(onDisk.durationSeconds, 0);
    EXPECT_FALSE(onDisk.sources);
    EXPECT_EQ(std::filesystem::file_size(url), 44U);

    EXPECT_EQ(logged(LogLevel::info),
              std::vector<std::string>{"Capture " + id + " running -> capture-" + id + ".wav"});

    // Starting again while recording hands back the same file and arms nothing new.
    EXPECT_EQ(session->start(), url);
    EXPECT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.systems().size(), 1U);
    EXPECT_EQ(session->state(), CaptureState::running);
    session->stop();
}

TEST_F(CaptureSessionTest, AFailedPreparationUndoesTheStartAndPassesTheEndpointsOwnError) {
    endpoints.queueSystem(
        EndpointScript::at(44'100).failingPrepare("system audio recording not permitted"));
    auto session = makeSession();
    try {
        session->start();
        FAIL() << "start succeeded";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "system audio recording not permitted");
    }
    EXPECT_EQ(session->state(), CaptureState::idle);
    // The prepared microphone is released and nothing keeps running.
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "stop"}));
    EXPECT_EQ(endpoints.runningCount(), 0U);
    EXPECT_EQ(hardware.listenerCount(), 0U);
    EXPECT_FALSE(session->mixer());
    EXPECT_FALSE(std::filesystem::exists(*session->sidecarURL()));
    EXPECT_EQ(std::filesystem::file_size(*session->audioURL()), 44U);
    EXPECT_TRUE(logged(LogLevel::info).empty());
    // Nothing was left behind to fire later.
    scheduler.advance(std::chrono::seconds(60));
    EXPECT_FALSE(std::filesystem::exists(*session->sidecarURL()));

    endpoints.queueMicrophone(EndpointScript::at(48'000).failingPrepare("no input device"));
    auto second = makeSession();
    EXPECT_THROW(
        {
            try {
                second->start();
            } catch (const Error& error) {
                EXPECT_STREQ(error.what(), "no input device");
                throw;
            }
        },
        Error);
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "stop"}));
    EXPECT_EQ(endpoints.runningCount(), 0U);
    EXPECT_EQ(second->state(), CaptureState::idle);
}

TEST_F(CaptureSessionTest, AFailedEndpointStartStopsBothEndpoints) {
    endpoints.queueSystem(
        EndpointScript::at(44'100).failingStart("aggregate device would not start"));
    auto session = makeSession();
    EXPECT_THROW(session->start(), Error);
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.system()->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.runningCount(), 0U);
    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_EQ(hardware.listenerCount(), 0U);
}

TEST_F(CaptureSessionTest, ADirectoryThatCannotBeCreatedFailsTheStartBeforeAnyEndpoint) {
    std::ofstream(temp / "Captures") << "a file where the folder should be";
    auto session = makeSession();
    EXPECT_THROW(session->start(), FileError);
    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_TRUE(endpoints.microphones().empty());
    EXPECT_TRUE(endpoints.systems().empty());
}

// --- Stop ---

TEST_F(CaptureSessionTest, StopFinalizesTheFilesAndKeepsTheFinishedCapturesValues) {
    auto session = makeSession();
    const auto url = session->start();
    const auto mic = endpoints.microphone();
    const auto system = endpoints.system();
    play(*mic, 48'000, 2.0);
    logs.clear();
    const WallTime endedAt = clock.now();
    session->stop();

    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_EQ(mic->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(system->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(hardware.listenerCount(), 0U);
    EXPECT_FALSE(session->mixer());

    // Two seconds of output, header patched.
    EXPECT_EQ(std::filesystem::file_size(url), 44U + 2U * 32'000U);
    const auto onDisk = CaptureSidecar::read(*session->sidecarURL());
    EXPECT_EQ(onDisk, *session->sidecar());
    EXPECT_EQ(onDisk.endedAt, SidecarTimestamp::format(endedAt));
    EXPECT_DOUBLE_EQ(onDisk.durationSeconds, 2.0);
    ASSERT_TRUE(onDisk.sources);
    ASSERT_EQ(onDisk.sources->size(), 2U);
    const auto& micStats = (*onDisk.sources)[0];
    const auto& systemStats = (*onDisk.sources)[1];
    EXPECT_EQ(micStats.name, "mic");
    EXPECT_EQ(micStats.sampleRateHz, 48'000);
    EXPECT_EQ(micStats.totalFrames, 32'000);
    EXPECT_LT(micStats.underrunFrames, 2'000);
    EXPECT_GT(micStats.lastRealFrame, 30'000);
    EXPECT_EQ(systemStats.name, "system");
    EXPECT_EQ(systemStats.sampleRateHz, 44'100);
    EXPECT_EQ(systemStats.totalFrames, 32'000);
    EXPECT_EQ(systemStats.underrunFrames, 32'000);

    // The far side said nothing: normal, and not reported.
    const std::string id = session->captureId();
    EXPECT_TRUE(logged(LogLevel::error).empty());
    const auto info = logged(LogLevel::info);
    ASSERT_EQ(info.size(), 1U);
    EXPECT_EQ(info[0].rfind("Capture " + id + " finalized: mic[rate=48000 ", 0), 0U) << info[0];
    EXPECT_NE(info[0].find(" system[rate=44100 underrun=32000 "), std::string::npos) << info[0];

    // The finished capture stays readable; stopping again or starting again changes nothing.
    logs.clear();
    session->stop();
    EXPECT_TRUE(logs.entries().empty());
    EXPECT_THROW(session->start(), CaptureCancelledError);
    EXPECT_EQ(std::filesystem::file_size(url), 44U + 2U * 32'000U);
    EXPECT_EQ(session->audioURL(), url);
    EXPECT_EQ(endpoints.microphones().size(), 1U);
}

TEST_F(CaptureSessionTest, StopOnASessionThatNeverStartedDoesNothing) {
    auto session = makeSession();
    session->stop();
    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_FALSE(session->audioURL());
    EXPECT_FALSE(session->sidecar());
    EXPECT_TRUE(logs.entries().empty());
    EXPECT_FALSE(std::filesystem::exists(capturesDirectory()));
}

// --- Sidecar ---

TEST_F(CaptureSessionTest, TheSidecarOnDiskGrowsEveryThirtySeconds) {
    auto session = makeSession();
    session->start();
    const auto url = *session->sidecarURL();
    scheduler.advance(std::chrono::seconds(29));
    EXPECT_EQ(CaptureSidecar::read(url).durationSeconds, 0);
    // Whatever the mixer has written when the timer fires: the tick due at the same
    // instant may come just before or just after.
    scheduler.advance(std::chrono::seconds(1));
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 30.0, 0.11);
    scheduler.advance(std::chrono::seconds(30));
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 60.0, 0.11);
    session->stop();
    // No refresh after the end overwrites the final sidecar.
    scheduler.advance(std::chrono::seconds(90));
    EXPECT_TRUE(CaptureSidecar::read(url).endedAt);
}

TEST_F(CaptureSessionTest, ASidecarThatCannotBeWrittenIsLoggedAndTheCaptureGoesOn) {
    auto session = makeSession();
    const auto audio = session->start();
    const auto url = *session->sidecarURL();
    std::filesystem::remove(url);
    std::filesystem::create_directory(url);
    scheduler.advance(std::chrono::seconds(30));
    const auto errors = logged(LogLevel::error);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_EQ(errors[0].rfind("Sidecar write failed: ", 0), 0U);
    EXPECT_EQ(session->state(), CaptureState::running);

    std::filesystem::remove(url);
    scheduler.advance(std::chrono::seconds(30));
    EXPECT_NEAR(CaptureSidecar::read(url).durationSeconds, 60.0, 0.11);
    session->stop();
    EXPECT_EQ(std::filesystem::file_size(audio), 44U + 60U * 32'000U);
}

// --- Rebuilds ---

TEST_F(CaptureSessionTest, NotificationsWithinTheDebounceMergeIntoOneRebuildOfTheUnion) {
    auto session = makeSession();
    session->start();
    const WallTime first = clock.now();
    hardware.setDefaultInput(kHeadset);
    scheduler.advance(std::chrono::milliseconds(100));
    hardware.setDefaultOutput(kHeadset);
    scheduler.advance(std::chrono::milliseconds(100));
    hardware.setDefaultInput(kBuiltInMic);
    scheduler.advance(std::chrono::milliseconds(299));
    EXPECT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.systems().size(), 1U);

    scheduler.advance(std::chrono::milliseconds(2));
    ASSERT_EQ(endpoints.microphones().size(), 2U);
    ASSERT_EQ(endpoints.systems().size(), 2U);
    // The first microphone cannot follow in place, so it is replaced.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.system(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(endpoints.runningCount(), 2U);
    EXPECT_EQ(session->state(), CaptureState::running);

    const std::string summary =
        "both deviceChanged: microphone 0 ms gap (rebuilt), systemAudio 0 ms gap, 0 ms total";
    const auto changes = events(*session, "deviceChange");
    ASSERT_EQ(changes.size(), 3U);
    EXPECT_EQ(changes[0].detail, "defaultInputDevice -> microphone");
    EXPECT_EQ(changes[1].detail, "defaultOutputDevice -> systemAudio");
    EXPECT_EQ(changes[2].detail, "defaultInputDevice -> microphone");
    const auto rebuilds = events(*session, "rebuild");
    ASSERT_EQ(rebuilds.size(), 1U);
    EXPECT_EQ(rebuilds[0].detail, summary);
    // 0.3 s after the last notification.
    EXPECT_EQ(rebuilds[0].at, SidecarTimestamp::format(first + std::chrono::milliseconds(500)));
    // The rebuild writes the device events to disk.
    EXPECT_EQ(CaptureSidecar::read(*session->sidecarURL()).deviceEvents,
              session->sidecar()->deviceEvents);
    EXPECT_EQ(logged(LogLevel::notice).back(), "Rebuilt " + summary);

    scheduler.advance(std::chrono::seconds(5));
    EXPECT_EQ(events(*session, "rebuild").size(), 1U);
    session->stop();
}

TEST_F(CaptureSessionTest, AnOutputChangeRebuildsOnlyTheSystemEndpointAfterTheNewOnePrepared) {
    endpoints.queueSystem(EndpointScript::at(44'100));
    endpoints.queueSystem(EndpointScript::at(96'000).preparingFor(std::chrono::milliseconds(40)));
    auto session = makeSession();
    session->start();
    hardware.setDefaultOutput(kDisplay);
    scheduler.advance(std::chrono::milliseconds(300));

    EXPECT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start"}));
    ASSERT_EQ(endpoints.systems().size(), 2U);
    EXPECT_EQ(session->mixer()->channels()[1]->sampleRate(), 96'000.0);
    // The old endpoint kept delivering while its successor prepared: no gap counted for it.
    EXPECT_EQ(events(*session, "rebuild")[0].detail,
              "systemAudio deviceChanged: systemAudio 0 ms gap, 40 ms total");
    EXPECT_EQ(events(*session, "deviceChange")[0].detail, "defaultOutputDevice -> systemAudio");
    session->stop();
}

TEST_F(CaptureSessionTest, AMicrophoneThatFollowsTheNewDeviceIsRepointedNotRebuilt) {
    endpoints.queueMicrophone(
        EndpointScript::at(48'000).repointingTo(16'000, std::chrono::milliseconds(120)));
    auto session = makeSession();
    session->start();
    hardware.setDefaultInput(kHeadset);
    scheduler.advance(std::chrono::milliseconds(300));

    ASSERT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.microphone()->calls(), (Calls{"prepare", "start", "repoint", "start"}));
    EXPECT_TRUE(endpoints.microphone()->running());
    EXPECT_EQ(session->mixer()->channels()[0]->sampleRate(), 16'000.0);
    EXPECT_EQ(events(*session, "rebuild")[0].detail,
              "microphone deviceChanged: microphone 120 ms gap (re-pointed), 120 ms total");
    // The re-pointed endpoint still reaches the session.
    EXPECT_TRUE(endpoints.microphone()->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    scheduler.advance(std::chrono::milliseconds(300));
    EXPECT_EQ(events(*session, "rebuild").size(), 2U);
    session->stop();
}

TEST_F(CaptureSessionTest, AFailedRepointIsLoggedAndCountsIntoTheGapOfTheRebuild) {
    endpoints.queueMicrophone(EndpointScript::at(48'000).failingRepoint(
        "input graph gone", std::chrono::milliseconds(50)));
    endpoints.queueMicrophone(
        EndpointScript::at(24'000).preparingFor(std::chrono::milliseconds(70)));
    auto session = makeSession();
    session->start();
    hardware.setDefaultInput(kHeadset);
    scheduler.advance(std::chrono::milliseconds(300));

    EXPECT_EQ(logged(LogLevel::notice).at(1),
              "Microphone could not be re-pointed in place (input graph gone); rebuilding");
    ASSERT_EQ(endpoints.microphones().size(), 2U);
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_TRUE(endpoints.microphone(1)->running());
    EXPECT_EQ(session->mixer()->channels()[0]->sampleRate(), 24'000.0);
    EXPECT_EQ(events(*session, "rebuild")[0].detail,
              "microphone deviceChanged: microphone 120 ms gap (rebuilt), 120 ms total");
    session->stop();
}

TEST_F(CaptureSessionTest, SilentVoiceProcessingWinsTheMergeAndDropsVoiceProcessingForGood) {
    endpoints.microphoneDefault.repoint = EndpointScript::Repoint::follows;
    auto session = makeSession();
    session->start();
    hardware.setDefaultInput(kHeadset);
    scheduler.advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(endpoints.microphone()->needsRebuild(EndpointRebuildReason::voiceProcessingSilent));
    scheduler.advance(std::chrono::milliseconds(100));
    hardware.setDefaultOutput(kDisplay);
    scheduler.advance(std::chrono::milliseconds(300));

    ASSERT_EQ(endpoints.microphones().size(), 2U);
    // No re-point is tried: the graph itself is the trouble.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_FALSE(endpoints.microphone(1)->voiceProcessing());
    const auto rebuilds = events(*session, "rebuild");
    ASSERT_EQ(rebuilds.size(), 1U);
    EXPECT_EQ(
        rebuilds[0].detail->rfind("both voiceProcessingSilent: microphone 0 ms gap (rebuilt), ", 0),
        0U);

    // Later rebuilds keep building the microphone without voice processing.
    hardware.setDefaultInput(kBuiltInMic);
    scheduler.advance(std::chrono::milliseconds(300));
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "start", "repoint", "start"}));
    ASSERT_TRUE(endpoints.microphone(1)->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    scheduler.advance(std::chrono::milliseconds(300));
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
    auto session = makeSession();
    const auto url = session->start();
    hardware.setDefaultInput(kHeadset);
    hardware.setDefaultOutput(kHeadset);
    scheduler.advance(std::chrono::milliseconds(300));

    EXPECT_EQ(session->state(), CaptureState::running);
    const std::string summary =
        "both deviceChanged: microphone 0 ms gap (rebuilt), systemAudio 0 ms gap, 0 ms total";
    EXPECT_EQ(events(*session, "rebuild")[0].detail, summary);
    EXPECT_EQ(logged(LogLevel::error),
              std::vector<std::string>{"Rebuild " + summary +
                                       " incomplete: microphone prepare: no input device; "
                                       "system prepare: tap refused"});
    // Without a microphone, and with the old system endpoint still delivering.
    EXPECT_EQ(endpoints.microphone(0)->calls(), (Calls{"prepare", "start", "repoint", "stop"}));
    EXPECT_EQ(endpoints.microphone(1)->calls(), (Calls{"prepare", "stop"}));
    EXPECT_TRUE(endpoints.system(0)->running());
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "stop"}));

    // A later request brings the microphone back with a full build.
    hardware.setDefaultInput(kBuiltInMic);
    scheduler.advance(std::chrono::milliseconds(300));
    ASSERT_EQ(endpoints.microphones().size(), 3U);
    EXPECT_EQ(endpoints.microphone(2)->calls(), (Calls{"prepare", "start"}));
    EXPECT_EQ(logged(LogLevel::notice).back(),
              "Rebuilt microphone deviceChanged: microphone 0 ms gap (rebuilt), 0 ms total");
    session->stop();
    EXPECT_EQ(session->state(), CaptureState::idle);
    EXPECT_EQ(endpoints.runningCount(), 0U);
}

TEST_F(CaptureSessionTest, AnEndpointThatFailsToStartAfterItsRebuildStaysAbsent) {
    endpoints.queueSystem(EndpointScript::at(44'100));
    endpoints.queueSystem(EndpointScript::at(44'100).failingStart("device busy"));
    auto session = makeSession();
    session->start();
    ASSERT_TRUE(endpoints.system()->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    scheduler.advance(std::chrono::milliseconds(300));
    EXPECT_EQ(
        logged(LogLevel::error),
        std::vector<std::string>{"Rebuild systemAudio routeFormatChanged: systemAudio 0 ms gap, "
                                 "0 ms total incomplete: system start: device busy"});
    EXPECT_EQ(endpoints.runningCount(), 1U);
    EXPECT_EQ(endpoints.system(0)->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "start", "stop"}));
    session->stop();
    EXPECT_EQ(endpoints.system(1)->calls(), (Calls{"prepare", "start", "stop"}));
}

TEST_F(CaptureSessionTest, RequestsPendingWhenStopBeginsAreDropped) {
    auto session = makeSession();
    session->start();
    const auto mic = endpoints.microphone();
    ASSERT_TRUE(mic->needsRebuild(EndpointRebuildReason::routeFormatChanged));
    hardware.setDefaultOutput(kDisplay);
    scheduler.advance(std::chrono::milliseconds(100));
    session->stop();
    logs.clear();
    scheduler.advance(std::chrono::seconds(2));
    EXPECT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.systems().size(), 1U);
    EXPECT_TRUE(events(*session, "rebuild").empty());

    // A stale request arriving afterwards, and device changes, do nothing either.
    mic->needsRebuild(EndpointRebuildReason::routeFormatChanged);
    hardware.setDefaultInput(kHeadset);
    scheduler.advance(std::chrono::seconds(2));
    EXPECT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_TRUE(logs.entries().empty());
}

TEST_F(CaptureSessionTest, AReleasedSessionIsNotCalledBackByItsEndpoints) {
    auto session = makeSession();
    session->start();
    const auto mic = endpoints.microphone();
    session.reset();
    // Dropping a recording session still stops its endpoints and frees the file.
    EXPECT_EQ(mic->calls(), (Calls{"prepare", "start", "stop"}));
    EXPECT_EQ(hardware.listenerCount(), 0U);
    mic->needsRebuild(EndpointRebuildReason::routeFormatChanged);
    hardware.setDefaultInput(kHeadset);
    scheduler.advance(std::chrono::seconds(60));
    EXPECT_EQ(endpoints.microphones().size(), 1U);
}

// --- On its own queues ---

// Recording and rebuilding on the session's own queues in real time are shown against a
// real audio server; here, a start that fails there still reaches the caller.
TEST(CaptureSessionOnItsOwnQueues, HandsStartFailuresToTheCaller) {
    TempDir temp;
    SystemClock clock;
    FakeAudioHardware hardware{clock};
    FakeCaptureEndpoints endpoints{clock};
    endpoints.queueSystem(EndpointScript::at(44'100).failingPrepare("tap refused"));
    auto failing = CaptureSession::create({.directory = temp / "Captures",
                                           .factory = endpoints.factory(),
                                           .hardware = hardware,
                                           .clock = clock,
                                           .readDeviceSnapshot = [] { return AudioDeviceSnapshot{}; },
                                           .control = nullptr,
                                           .mixerQueue = nullptr,
                                           .usesTimers = true,
                                           .captureId = {}});
    EXPECT_THROW(failing->start(), Error);
    EXPECT_EQ(failing->state(), CaptureState::idle);
    EXPECT_EQ(endpoints.runningCount(), 0U);
    EXPECT_EQ(hardware.listenerCount(), 0U);
}

}  // namespace
}  // namespace kavo

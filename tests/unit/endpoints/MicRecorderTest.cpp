#include "audio/endpoints/MicRecorder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "EndpointTestSupport.h"
#include "support/FakeAudioEngine.h"
#include "support/FakeAudioHardware.h"
#include "base/ManualScheduler.h"

namespace kavo {
namespace {

using testing::FakeAudioEngine;
using testing::FakeAudioHardware;
using testing::messagesAt;
using testing::RebuildRequests;
using testing::RecordingSink;
using testing::Waveform;
using Reason = EndpointRebuildReason;

AudioFormat monoFloat(double rate) { return *AudioFormat::monoFloat(rate); }

// The MicError `action` throws; fails the test when it throws none.
template <typename Action>
MicError micErrorOf(Action action) {
    try {
        action();
    } catch (const MicError& error) {
        return error;
    }
    ADD_FAILURE() << "no MicError";
    return MicError::notPrepared();
}

class MicRecorderTest : public ::testing::Test {
protected:
    std::unique_ptr<MicRecorder> makeRecorder(bool voiceProcessing, double routeRate = 48'000) {
        auto owned = std::make_unique<FakeAudioEngine>(clock, routeRate);
        engine = owned.get();
        auto recorder = std::make_unique<MicRecorder>(voiceProcessing, std::move(owned), hardware, clock, utility);
        recorder->setOnNeedsRebuild(requests.handler());
        return recorder;
    }

    std::unique_ptr<MicRecorder> runningRecorder(bool voiceProcessing, double routeRate = 48'000) {
        auto recorder = makeRecorder(voiceProcessing, routeRate);
        recorder->prepare();
        recorder->start(sink.sink());
        return recorder;
    }

    // `seconds` of mono samples at 48 kHz in 480-frame buffers, `value` everywhere except
    // at frame `odd` (if any), which gets `oddValue`.
    void deliverMono(double seconds, float value, std::int64_t odd = -1, float oddValue = 0) {
        const auto total = static_cast<std::int64_t>(seconds * 48'000);
        for (std::int64_t start = 0; start < total; start += 480) {
            std::vector<float> buffer(480, value);
            if (odd >= start && odd < start + 480) buffer[static_cast<std::size_t>(odd - start)] = oddValue;
            ASSERT_TRUE(engine->deliverNow(buffer, 1, {clock.hostTime(), true}));
        }
    }

    std::vector<Reason> requestsAfterFlush(MicRecorder& recorder) {
        recorder.flushRebuildRequests();
        return requests.reasons();
    }

    ManualClock clock;
    ManualScheduler utility{clock};
    FakeAudioHardware hardware{clock};
    LogCapture logs;
    RecordingSink sink;
    RebuildRequests requests;
    FakeAudioEngine* engine = nullptr;
};

// --- Preparation ---

TEST_F(MicRecorderTest, RawPreparationTapsTheInputNodeOutputAtItsRate) {
    auto recorder = makeRecorder(false, 44'100);
    EXPECT_EQ(recorder->prepare(), 44'100);
    EXPECT_EQ(recorder->tapFormat(), monoFloat(44'100));
    ASSERT_EQ(engine->connections().size(), 1U);
    EXPECT_EQ(engine->connections()[0], std::nullopt);
    EXPECT_FALSE(engine->isVoiceProcessingEnabled());
    EXPECT_FALSE(recorder->graphFormats().has_value());
}

TEST_F(MicRecorderTest, VoiceProcessedPreparationBuildsAMonoClientGraphWithDuckingAtMinimum) {
    auto recorder = makeRecorder(true, 24'000);
    EXPECT_EQ(recorder->prepare(), 24'000);
    EXPECT_TRUE(recorder->voiceProcessingActive());
    EXPECT_TRUE(engine->isVoiceProcessingEnabled());
    ASSERT_TRUE(engine->ducking().has_value());
    EXPECT_FALSE(engine->ducking()->enableAdvancedDucking);
    EXPECT_EQ(engine->ducking()->duckingLevel, 10);
    ASSERT_EQ(engine->connections().size(), 1U);
    EXPECT_EQ(engine->connections()[0], monoFloat(24'000));
    const auto graph = recorder->graphFormats();
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->client, monoFloat(24'000));
    EXPECT_EQ(graph->render, monoFloat(24'000));
    EXPECT_EQ(graph->tap, graph->client);
    EXPECT_EQ(recorder->tapFormat(), monoFloat(24'000));
}

TEST_F(MicRecorderTest, RefusedVoiceProcessingCapturesRawSaysSoOnceAndSkipsTheLivenessCheck) {
    auto recorder = makeRecorder(true);
    engine->refuseVoiceProcessing("no echo canceller on this route");
    EXPECT_EQ(recorder->prepare(), 48'000);
    EXPECT_FALSE(recorder->voiceProcessingActive());
    EXPECT_EQ(engine->connections().at(0), std::nullopt);
    EXPECT_EQ(messagesAt(logs, "MicRecorder", LogLevel::notice),
              std::vector<std::string>{"Voice processing unavailable (no echo canceller on this route); "
                                       "capturing raw microphone"});

    recorder->start(sink.sink());
    deliverMono(1.5, 0.0f);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    EXPECT_EQ(sink.frames().size(), 72'000U);
}

TEST_F(MicRecorderTest, RouteRateFallsBackToTheInputNodeOutputFormat) {
    auto recorder = makeRecorder(true);
    engine->setInputNodeFormats(AudioFormat{0, 1}, monoFloat(32'000));
    EXPECT_EQ(recorder->prepare(), 32'000);
    EXPECT_EQ(recorder->routeRate(), 32'000);
}

TEST_F(MicRecorderTest, UnusableRatesFailPreparationWithTheirOwnTexts) {
    auto voiced = makeRecorder(true);
    engine->setInputNodeFormats(AudioFormat{0, 1}, AudioFormat{0, 1});
    MicError error = micErrorOf([&] { voiced->prepare(); });
    EXPECT_EQ(error.kind(), MicError::Kind::routeRateUnusable);
    EXPECT_STREQ(error.what(), "input route reported an unusable sample rate: 0.0 Hz");

    auto raw = makeRecorder(false);
    engine->setInputNodeFormats(monoFloat(48'000), AudioFormat{0, 2});
    error = micErrorOf([&] { raw->prepare(); });
    EXPECT_EQ(error.kind(), MicError::Kind::formatUnsupported);
    EXPECT_STREQ(error.what(), "microphone format unusable: 2 ch, 0 Hz, Float32, non-interleaved");
}

// --- Start and stop ---

TEST_F(MicRecorderTest, StartBeforePrepareFailsAndASecondStartDoesNothing) {
    auto recorder = makeRecorder(false);
    EXPECT_EQ(micErrorOf([&] { recorder->start(sink.sink()); }).kind(), MicError::Kind::notPrepared);
    EXPECT_FALSE(engine->tapInstalled());

    recorder->prepare();
    recorder->start(sink.sink());
    recorder->start(sink.sink());
    EXPECT_EQ(engine->startCount(), 1);
    EXPECT_EQ(engine->tapBufferFrames(), 1024U);
    EXPECT_EQ(engine->tapFormat(), monoFloat(48'000));
    EXPECT_TRUE(recorder->isRunning());
}

TEST_F(MicRecorderTest, FailedEngineStartLeavesNoTapAndNoSink) {
    auto recorder = makeRecorder(false);
    recorder->prepare();
    engine->failNextStart("device busy");
    const MicError error = micErrorOf([&] { recorder->start(sink.sink()); });
    EXPECT_EQ(error.kind(), MicError::Kind::engineStartFailed);
    EXPECT_STREQ(error.what(), "microphone engine start failed: device busy");
    EXPECT_FALSE(engine->tapInstalled());
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_EQ(engine->observerCount(), 0U);
    recorder->stop();
    EXPECT_EQ(engine->stopCount(), 0);
}

TEST_F(MicRecorderTest, StartLogsTheGraphOffTheCallersThread) {
    auto recorder = runningRecorder(true, 48'000);
    EXPECT_TRUE(messagesAt(logs, "MicRecorder", LogLevel::info).empty());
    utility.runUntilIdle();
    EXPECT_EQ(messagesAt(logs, "MicRecorder", LogLevel::info),
              std::vector<std::string>{
                  "Microphone graph: voiceProcessing=true route=48000.000000 "
                  "inputNode.input=1 ch, 48000 Hz, Float32, non-interleaved "
                  "inputNode.output=1 ch, 48000 Hz, Float32, non-interleaved "
                  "outputNode.input=1 ch, 48000 Hz, Float32, non-interleaved "
                  "outputNode.output=2 ch, 48000 Hz, Float32, non-interleaved "
                  "tap=1 ch, 48000 Hz, Float32, non-interleaved"});
}

TEST_F(MicRecorderTest, StopEndsDeliveryAndObservation) {
    auto recorder = runningRecorder(true);
    recorder->stop();
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_FALSE(engine->isRunning());
    EXPECT_FALSE(engine->tapInstalled());
    EXPECT_EQ(engine->observerCount(), 0U);
    EXPECT_FALSE(engine->deliverNow(std::vector<float>(480, 0.1f), 1, {clock.hostTime(), true}));
    engine->moveRoute(16'000);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
}

TEST_F(MicRecorderTest, StopOfARecorderThatNeverStartedLeavesTheEngineAlone) {
    auto recorder = makeRecorder(false);
    recorder->prepare();
    recorder->stop();
    EXPECT_EQ(engine->stopCount(), 0);
    // Still prepared: it can start after all.
    recorder->start(sink.sink());
    EXPECT_TRUE(recorder->isRunning());
}

// --- The tap handler ---

TEST_F(MicRecorderTest, BuffersArriveAsMonoWithTheirHostTimeOrTheCurrentOne) {
    auto recorder = runningRecorder(false);
    ASSERT_TRUE(engine->deliverNow({0.2f, 0.4f, -0.5f, 0.5f, 1.0f, 0.0f}, 2, {777, true}));
    clock.advance(seconds(2));
    ASSERT_TRUE(engine->deliverNow({0.25f}, 1, {999, false}));

    const auto deliveries = sink.deliveries();
    ASSERT_EQ(deliveries.size(), 2U);
    ASSERT_EQ(deliveries[0].frames.size(), 3U);
    EXPECT_FLOAT_EQ(deliveries[0].frames[0], 0.3f);
    EXPECT_FLOAT_EQ(deliveries[0].frames[1], 0.0f);
    EXPECT_FLOAT_EQ(deliveries[0].frames[2], 0.5f);
    EXPECT_EQ(deliveries[0].hostTime, 777U);
    EXPECT_EQ(deliveries[1].hostTime, clock.hostTime());
}

TEST_F(MicRecorderTest, FirstBufferTimesAreKeptFromTheFirstBufferOnly) {
    auto recorder = runningRecorder(false);
    EXPECT_EQ(recorder->firstBufferHostTime(), 0U);
    EXPECT_FALSE(recorder->firstBufferWallClock().has_value());
    clock.advance(seconds(3));
    const WallTime arrival = clock.now();
    ASSERT_TRUE(engine->deliverNow({0.1f}, 1, {1234, true}));
    clock.advance(seconds(5));
    ASSERT_TRUE(engine->deliverNow({0.1f}, 1, {5678, true}));
    EXPECT_EQ(recorder->firstBufferHostTime(), 1234U);
    EXPECT_EQ(recorder->firstBufferWallClock(), arrival);
}

TEST_F(MicRecorderTest, UnusableOrOversizedBuffersAreDroppedOrCutToAQuarterSecond) {
    auto recorder = runningRecorder(false);
    ASSERT_TRUE(engine->deliverNow({}, 1, {1, true}));
    ASSERT_TRUE(engine->deliverNow({0.5f, 0.5f}, 0, {2, true}));
    EXPECT_TRUE(sink.deliveries().empty());
    ASSERT_TRUE(engine->deliverNow(std::vector<float>(12'001, 0.5f), 1, {3, true}));
    EXPECT_EQ(sink.frames().size(), 12'000U);
}

// --- Liveness of a voice-processed microphone ---

TEST_F(MicRecorderTest, AFullSecondOfDigitalZerosAsksOnceForARawRebuild) {
    auto recorder = runningRecorder(true);
    deliverMono(0.99, 0.0f);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    deliverMono(0.02, 0.0f);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
    deliverMono(3, 0.0f);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
    EXPECT_EQ(messagesAt(logs, "MicRecorder", LogLevel::error),
              std::vector<std::string>{"Voice processing delivered a full second of digital zeros; rebuilding raw"});
    // The frames still reach the mix while the rebuild is on its way.
    EXPECT_EQ(sink.frames().size(), 192'480U);
}

TEST_F(MicRecorderTest, OneAudibleSampleInTheFirstSecondSettlesTheCheckForGood) {
    auto recorder = runningRecorder(true);
    deliverMono(1, 0.0f, 47'000, -1e-7f);
    deliverMono(2, 0.0f);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
}

TEST_F(MicRecorderTest, TheCheckStartsAfreshWithEachStart) {
    auto recorder = runningRecorder(true);
    deliverMono(0.5, 0.0f);
    recorder->stop();
    recorder->start(sink.sink());
    deliverMono(0.6, 0.0f);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    deliverMono(0.5, 0.0f);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
}

// --- Route changes under a running graph ---

TEST_F(MicRecorderTest, ARouteRateMoveAsksOnceForARebuildAndSmallMovesAreIgnored) {
    auto recorder = runningRecorder(false);
    engine->moveRoute(48'000.5);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    engine->moveRoute(24'000);
    engine->moveRoute(16'000);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::routeFormatChanged});
    EXPECT_EQ(messagesAt(logs, "MicRecorder", LogLevel::error),
              std::vector<std::string>{
                  "Input route moved 48000.000000 Hz -> 24000.000000 Hz under a running graph; rebuilding"});
}

TEST_F(MicRecorderTest, ARouteMoveBetweenPrepareAndStartIsNoticedAtStartNotBefore) {
    auto recorder = makeRecorder(false);
    recorder->prepare();
    engine->moveRoute(44'100);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    recorder->start(sink.sink());
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::routeFormatChanged});
}

// --- Re-pointing to a new default input ---

class MicRepointTest : public MicRecorderTest {
protected:
    void SetUp() override {
        hardware.addDevice({.id = 20, .uid = "AggregateMic", .nominalRate = 48'000, .subDevices = {"BuiltInMic", "USBHeadset"}});
        hardware.addDevice({.id = 11, .uid = "USBHeadset", .nominalRate = 44'100, .subDevices = {}});
        hardware.addDevice({.id = 12, .uid = std::nullopt, .nominalRate = 48'000, .subDevices = {}});
        hardware.setDefaultInput(11);
    }
};

TEST_F(MicRepointTest, RawRecorderFollowsTheNewRouteAndStartsAfreshOnIt) {
    auto recorder = runningRecorder(false);
    engine->setInputDevice(20);
    ASSERT_TRUE(engine->deliverNow({0.1f}, 1, {4242, true}));
    engine->moveRoute(44'100);
    ASSERT_EQ(requestsAfterFlush(*recorder).size(), 1U);

    EXPECT_EQ(recorder->repoint(), 44'100);
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_FALSE(engine->tapInstalled());
    EXPECT_EQ(recorder->tapFormat(), monoFloat(44'100));
    EXPECT_EQ(recorder->routeRate(), 44'100);
    EXPECT_EQ(recorder->firstBufferHostTime(), 0U);
    utility.runUntilIdle();
    EXPECT_TRUE(logs.contains("MicRecorder",
                              "Re-pointing microphone: inputUnit device=20 uid=AggregateMic "
                              "subDevices=BuiltInMic,USBHeadset defaultInput=11 uid=USBHeadset"));

    recorder->start(sink.sink());
    EXPECT_EQ(engine->tapFormat(), monoFloat(44'100));
    ASSERT_TRUE(engine->deliverNow({0.1f}, 1, {5151, true}));
    EXPECT_EQ(recorder->firstBufferHostTime(), 5151U);
    // A re-pointed recorder may report a route move again.
    engine->moveRoute(22'050);
    EXPECT_EQ(requestsAfterFlush(*recorder),
              (std::vector<Reason>{Reason::routeFormatChanged, Reason::routeFormatChanged}));
}

TEST_F(MicRepointTest, VoiceGraphIsRebuiltForTheNewRate) {
    auto recorder = runningRecorder(true);
    engine->setRouteRate(16'000);
    EXPECT_EQ(recorder->repoint(), 16'000);
    EXPECT_EQ(engine->connections().back(), monoFloat(16'000));
    EXPECT_EQ(recorder->graphFormats()->render, monoFloat(16'000));
    recorder->start(sink.sink());
    deliverMono(1.1, 0.0f);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
}

TEST_F(MicRepointTest, GivesUpAndLeavesTheRebuildToTheCallerWhenTheNewGraphIsUnusable) {
    {
        auto recorder = runningRecorder(false);
        engine->setRouteRate(0);
        EXPECT_EQ(recorder->repoint(), std::nullopt);
        EXPECT_FALSE(recorder->isRunning());
        EXPECT_FALSE(engine->isRunning());
        EXPECT_TRUE(logs.contains("MicRecorder", "Input route reported 0.000000 Hz on re-point; rebuilding instead"));
    }
    {
        auto recorder = runningRecorder(true);
        engine->setRenderRate(48'000);
        engine->setRouteRate(44'100);
        EXPECT_EQ(recorder->repoint(), std::nullopt);
        EXPECT_TRUE(logs.contains("MicRecorder",
                                  "Re-pointed voice graph disagrees with itself (client 44100.000000 Hz, "
                                  "render 48000.000000 Hz); rebuilding instead"));
    }
    {
        auto recorder = runningRecorder(false);
        engine->setInputNodeFormats(monoFloat(44'100), AudioFormat{0, 1});
        EXPECT_EQ(recorder->repoint(), std::nullopt);
        EXPECT_TRUE(logs.contains("MicRecorder",
                                  "Re-pointed graph has no usable tap format (1 ch, 0 Hz, Float32, "
                                  "non-interleaved); rebuilding instead"));
        // The caller stops it before rebuilding; nothing is left running.
        recorder->stop();
        EXPECT_FALSE(engine->tapInstalled());
    }
}

TEST_F(MicRepointTest, ARecorderThatIsNotRunningIsNotRepointed) {
    auto recorder = makeRecorder(false);
    EXPECT_EQ(recorder->repoint(), std::nullopt);
    recorder->prepare();
    engine->setRouteRate(44'100);
    EXPECT_EQ(recorder->repoint(), std::nullopt);
    EXPECT_EQ(recorder->tapFormat(), monoFloat(48'000));
    EXPECT_EQ(engine->connections().size(), 1U);
    utility.runUntilIdle();
    EXPECT_FALSE(logs.contains("MicRecorder", "Re-pointing microphone"));
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "EndpointTestSupport.h"
#include "audio/endpoints/MicRecorder.h"
#include "base/ManualScheduler.h"
#include "support/FakeAudioEngine.h"
#include "support/FakeAudioHardware.h"

namespace kavo {
namespace {

using testing::FakeAudioEngine;
using testing::FakeAudioHardware;
using testing::messagesAt;
using Reason = EndpointRebuildReason;

AudioFormat monoFloat(double rate) {
    return *AudioFormat::monoFloat(rate);
}

// Checks that `action` throws the MicError of `kind` with `text`.
template <typename Action>
void expectMicError(Action action, MicError::Kind kind, const char* text) {
    try {
        action();
        ADD_FAILURE() << "no MicError";
    } catch (const MicError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_STREQ(error.what(), text);
    }
}

class MicRecorderTest : public ::testing::Test {
protected:
    std::unique_ptr<MicRecorder> makeRecorder(bool voiceProcessing, double routeRate = 48'000) {
        auto owned = std::make_unique<FakeAudioEngine>(clock, routeRate);
        engine = owned.get();
        auto recorder = std::make_unique<MicRecorder>(voiceProcessing, std::move(owned), hardware,
                                                      clock, utility);
        recorder->setOnNeedsRebuild(requests.handler());
        return recorder;
    }

    std::unique_ptr<MicRecorder> runningRecorder(bool voiceProcessing, double routeRate = 48'000) {
        auto recorder = makeRecorder(voiceProcessing, routeRate);
        recorder->prepare();
        recorder->start(sink.sink());
        return recorder;
    }

    // `seconds` of digital silence at 48 kHz in 480-frame buffers, but for frame `odd`.
    void deliverZeros(double seconds, std::int64_t odd = -1, float oddValue = 0) {
        const auto total = static_cast<std::int64_t>(seconds * 48'000);
        for (std::int64_t start = 0; start < total; start += 480) {
            std::vector<float> buffer(480, 0.0f);
            if (odd >= start && odd < start + 480)
                buffer[static_cast<std::size_t>(odd - start)] = oddValue;
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
    testing::RecordingSink sink;
    testing::RebuildRequests requests;
    FakeAudioEngine* engine = nullptr;
};

TEST_F(MicRecorderTest, VoiceProcessedPreparationBuildsAMonoClientGraphWithDuckingAtMinimum) {
    auto recorder = makeRecorder(true, 24'000);
    EXPECT_EQ(recorder->prepare(), 24'000);
    EXPECT_TRUE(recorder->voiceProcessingActive());
    ASSERT_TRUE(engine->ducking().has_value());
    EXPECT_FALSE(engine->ducking()->enableAdvancedDucking);
    EXPECT_EQ(engine->ducking()->duckingLevel, 10);
    EXPECT_EQ(engine->connections(), std::vector<std::optional<AudioFormat>>{monoFloat(24'000)});
    const auto graph = recorder->graphFormats();
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->client, monoFloat(24'000));
    EXPECT_EQ(graph->render, monoFloat(24'000));
    EXPECT_EQ(recorder->tapFormat(), monoFloat(24'000));
}

TEST_F(MicRecorderTest, RouteRateFallsBackToTheNodeOutputAndUnusableRatesFail) {
    auto fallback = makeRecorder(true);
    engine->setInputNodeFormats(AudioFormat{0, 1}, monoFloat(32'000));
    EXPECT_EQ(fallback->prepare(), 32'000);

    auto voiced = makeRecorder(true);
    engine->setInputNodeFormats(AudioFormat{0, 1}, AudioFormat{0, 1});
    expectMicError([&] { voiced->prepare(); }, MicError::Kind::routeRateUnusable,
                   "input route reported an unusable sample rate: 0.0 Hz");
    auto raw = makeRecorder(false);
    engine->setInputNodeFormats(monoFloat(48'000), AudioFormat{0, 2});
    expectMicError([&] { raw->prepare(); }, MicError::Kind::formatUnsupported,
                   "microphone format unusable: 2 ch, 0 Hz, Float32, non-interleaved");
}

TEST_F(MicRecorderTest, StartNeedsPreparationHappensOnceAndAFailedStartLeavesNothing) {
    auto recorder = makeRecorder(false);
    expectMicError([&] { recorder->start(sink.sink()); }, MicError::Kind::notPrepared,
                   "microphone started before it was prepared");
    EXPECT_FALSE(engine->tapInstalled());
    recorder->prepare();
    engine->failNextStart("device busy");
    expectMicError([&] { recorder->start(sink.sink()); }, MicError::Kind::engineStartFailed,
                   "microphone engine start failed: device busy");
    EXPECT_FALSE(engine->tapInstalled());
    EXPECT_EQ(engine->observerCount(), 0U);
    recorder->stop();
    EXPECT_EQ(engine->stopCount(), 0);

    recorder->start(sink.sink());  // still prepared
    recorder->start(sink.sink());
    EXPECT_EQ(engine->startCount(), 1);
    EXPECT_EQ(engine->tapBufferFrames(), 1024U);
    EXPECT_EQ(engine->tapFormat(), monoFloat(48'000));
}

TEST_F(MicRecorderTest, StartLogsTheGraphOffTheCallersThreadAndStopEndsEverything) {
    auto recorder = runningRecorder(true, 48'000);
    EXPECT_TRUE(messagesAt(logs, "MicRecorder", LogLevel::info).empty());
    utility.runUntilIdle();
    const auto lines = messagesAt(logs, "MicRecorder", LogLevel::info);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_TRUE(lines[0].starts_with("Microphone graph: voiceProcessing=true route=48000.000000 "))
        << lines[0];
    recorder->stop();
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_FALSE(engine->isRunning());
    EXPECT_FALSE(engine->tapInstalled());
    EXPECT_EQ(engine->observerCount(), 0U);
    EXPECT_FALSE(engine->deliverNow(std::vector<float>(480, 0.1f), 1, {clock.hostTime(), true}));
    engine->moveRoute(16'000);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
}

TEST_F(MicRecorderTest, BuffersArriveAsMonoCutToAQuarterSecondWithTheirHostTime) {
    auto recorder = runningRecorder(false);
    EXPECT_EQ(recorder->firstBufferHostTime(), 0U);
    clock.advance(seconds(3));
    const WallTime arrival = clock.now();
    ASSERT_TRUE(engine->deliverNow({0.2f, 0.4f, -0.5f, 0.5f, 1.0f, 0.0f}, 2, {777, true}));
    clock.advance(seconds(2));
    ASSERT_TRUE(engine->deliverNow({0.25f}, 1, {999, false}));  // no host time: now
    ASSERT_TRUE(engine->deliverNow({}, 1, {1, true}));
    ASSERT_TRUE(engine->deliverNow({0.5f, 0.5f}, 0, {2, true}));
    ASSERT_TRUE(engine->deliverNow(std::vector<float>(12'001, 0.5f), 1, {3, true}));

    const auto deliveries = sink.deliveries();
    ASSERT_EQ(deliveries.size(), 3U);
    ASSERT_EQ(deliveries[0].frames.size(), 3U);
    EXPECT_FLOAT_EQ(deliveries[0].frames[0], 0.3f);
    EXPECT_FLOAT_EQ(deliveries[0].frames[2], 0.5f);
    EXPECT_EQ(deliveries[0].hostTime, 777U);
    EXPECT_EQ(deliveries[1].hostTime, clock.hostTime());
    EXPECT_EQ(deliveries[2].frames.size(), 12'000U);
    EXPECT_EQ(recorder->firstBufferHostTime(), 777U);
    EXPECT_EQ(recorder->firstBufferWallClock(), arrival);
}

TEST_F(MicRecorderTest, AFullSecondOfDigitalZerosAsksOnceForARawRebuild) {
    auto recorder = runningRecorder(true);
    deliverZeros(0.99);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    deliverZeros(0.02);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
    deliverZeros(3);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
    EXPECT_EQ(messagesAt(logs, "MicRecorder", LogLevel::error),
              std::vector<std::string>{
                  "Voice processing delivered a full second of digital zeros; rebuilding raw"});
    // The frames still reach the mix while the rebuild is on its way.
    EXPECT_EQ(sink.frames().size(), 192'480U);
}

TEST_F(MicRecorderTest, OneAudibleSampleSettlesTheCheckUntilTheNextStart) {
    auto recorder = runningRecorder(true);
    deliverZeros(1, 47'000, -1e-7f);
    deliverZeros(2);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    recorder->stop();
    recorder->start(sink.sink());
    deliverZeros(0.6);
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    deliverZeros(0.5);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::voiceProcessingSilent});
}

TEST_F(MicRecorderTest, ARouteRateMoveAsksOnceForARebuildFromStartOnAndSmallMovesAreIgnored) {
    auto recorder = makeRecorder(false);
    recorder->prepare();
    engine->moveRoute(48'000.5);
    recorder->start(sink.sink());
    EXPECT_TRUE(requestsAfterFlush(*recorder).empty());
    engine->moveRoute(24'000);
    engine->moveRoute(16'000);
    EXPECT_EQ(requestsAfterFlush(*recorder), std::vector<Reason>{Reason::routeFormatChanged});
    EXPECT_EQ(messagesAt(logs, "MicRecorder", LogLevel::error),
              std::vector<std::string>{"Input route moved 48000.000000 Hz -> 24000.000000 Hz "
                                       "under a running graph; rebuilding"});

    // A move between prepare and start is noticed at start, not before.
    auto later = makeRecorder(false);
    later->prepare();
    engine->moveRoute(44'100);
    EXPECT_EQ(requestsAfterFlush(*later).size(), 1U);
    later->start(sink.sink());
    EXPECT_EQ(requestsAfterFlush(*later).size(), 2U);
}

TEST_F(MicRecorderTest, RepointFollowsTheNewRouteAndStartsAfresh) {
    hardware.addDevice({.id = 20,
                        .uid = "AggregateMic",
                        .nominalRate = 48'000,
                        .subDevices = {"BuiltInMic", "USBHeadset"}});
    hardware.addDevice({.id = 11, .uid = "USBHeadset", .nominalRate = 44'100, .subDevices = {}});
    hardware.setDefaultInput(11);
    auto idle = makeRecorder(false);
    EXPECT_EQ(idle->repoint(), std::nullopt);  // not running: not re-pointed

    auto recorder = runningRecorder(false);
    engine->setInputDevice(20);
    ASSERT_TRUE(engine->deliverNow({0.1f}, 1, {4242, true}));
    engine->moveRoute(44'100);
    ASSERT_EQ(requestsAfterFlush(*recorder).size(), 1U);
    EXPECT_EQ(recorder->repoint(), 44'100);
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_FALSE(engine->tapInstalled());
    EXPECT_EQ(recorder->tapFormat(), monoFloat(44'100));
    EXPECT_EQ(recorder->firstBufferHostTime(), 0U);
    utility.runUntilIdle();
    EXPECT_TRUE(logs.contains("MicRecorder",
                              "Re-pointing microphone: inputUnit device=20 uid=AggregateMic "
                              "subDevices=BuiltInMic,USBHeadset defaultInput=11 uid=USBHeadset"));
    recorder->start(sink.sink());
    EXPECT_EQ(engine->tapFormat(), monoFloat(44'100));
    // A re-pointed recorder may report a route move again.
    engine->moveRoute(22'050);
    EXPECT_EQ(requestsAfterFlush(*recorder),
              (std::vector<Reason>{Reason::routeFormatChanged, Reason::routeFormatChanged}));

    auto voiced = runningRecorder(true);
    engine->setRouteRate(16'000);
    EXPECT_EQ(voiced->repoint(), 16'000);
    EXPECT_EQ(voiced->graphFormats()->render, monoFloat(16'000));
}

TEST_F(MicRecorderTest, RepointGivesUpAndLeavesTheRebuildToTheCallerWhenTheGraphIsUnusable) {
    struct Case {
        bool voiceProcessing;
        std::function<void(FakeAudioEngine&)> change;
        std::string log;
    };
    const Case cases[] = {
        {false, [](FakeAudioEngine& e) { e.setRouteRate(0); },
         "Input route reported 0.000000 Hz on re-point; rebuilding instead"},
        {true,
         [](FakeAudioEngine& e) {
             e.setRenderRate(48'000);
             e.setRouteRate(44'100);
         },
         "Re-pointed voice graph disagrees with itself (client 44100.000000 Hz, render "
         "48000.000000 Hz); rebuilding instead"},
        {false,
         [](FakeAudioEngine& e) {
             e.setInputNodeFormats(monoFloat(44'100), AudioFormat{0, 1});
         },
         "Re-pointed graph has no usable tap format (1 ch, 0 Hz, Float32, non-interleaved); "
         "rebuilding instead"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        auto recorder = runningRecorder(c.voiceProcessing);
        c.change(*engine);
        EXPECT_EQ(recorder->repoint(), std::nullopt);
        EXPECT_FALSE(recorder->isRunning());
        EXPECT_TRUE(logs.contains("MicRecorder", c.log));
        recorder->stop();  // as the caller does before rebuilding: nothing is left running
        EXPECT_FALSE(engine->isRunning());
        EXPECT_FALSE(engine->tapInstalled());
    }
}

}  // namespace
}  // namespace kavo

#include "audio/endpoints/SystemAudioTap.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "EndpointTestSupport.h"
#include "support/FakeAudioHardware.h"
#include "base/ManualScheduler.h"
#include "base/SerialQueue.h"

namespace kavo {
namespace {

using testing::FakeAudioHardware;
using testing::messagesAt;
using testing::RebuildRequests;
using testing::RecordingSink;
using testing::Waveform;
using Mix = TapDescription::Mix;
using Reason = EndpointRebuildReason;

constexpr AudioObjectID kOwnProcess = 77;

class SystemAudioTapTest : public ::testing::Test {
protected:
    SystemAudioTapTest() { hardware.setProcessObject(kOwnProcess); }

    std::unique_ptr<SystemAudioTap> makeTap() {
        auto tap = std::make_unique<SystemAudioTap>(
            SystemAudioTap::Platform{hardware, hardware, ownProcess, clock}, queue, control);
        tap->setOnNeedsRebuild(requests.handler());
        return tap;
    }

    std::unique_ptr<SystemAudioTap> runningTap() {
        auto tap = makeTap();
        tap->prepare();
        tap->start(sink.sink());
        return tap;
    }

    void expectNothingLeft() const {
        EXPECT_EQ(hardware.liveTaps(), 0U);
        EXPECT_EQ(hardware.liveAggregates(), 0U);
        EXPECT_EQ(hardware.liveIOProcs(), 0U);
        EXPECT_EQ(hardware.listenerCount(), 0U);
    }

    template <typename Action>
    TapError failure(Action action) {
        try {
            action();
        } catch (const TapError& error) {
            return error;
        }
        ADD_FAILURE() << "no TapError";
        return TapError::notPrepared();
    }

    std::vector<Reason> requestsAfterFlush(SystemAudioTap& tap) {
        control.runUntilIdle();
        tap.flushRebuildRequests();
        return requests.reasons();
    }

    ManualClock clock;
    ManualScheduler queue{clock};
    ManualScheduler control{clock};
    FakeAudioHardware hardware{clock};
    OwnProcessObject ownProcess{hardware, 4242};
    LogCapture logs;
    RecordingSink sink;
    RebuildRequests requests;
};

// --- Preparation ---

TEST_F(SystemAudioTapTest, PreparesAMonoTapOfEverythingButUsInAPrivateAggregateDevice) {
    auto tap = makeTap();
    EXPECT_EQ(tap->prepare(), 48'000);

    const auto taps = hardware.tapRequests();
    ASSERT_EQ(taps.size(), 1U);
    EXPECT_EQ(taps[0].mix, Mix::mono);
    EXPECT_EQ(taps[0].excludedProcesses, std::vector<AudioObjectID>{kOwnProcess});
    EXPECT_EQ(taps[0].name, "Kavo Meetings system tap");
    EXPECT_TRUE(taps[0].isPrivate);
    EXPECT_EQ(taps[0].muteBehavior, 0);

    const auto aggregates = hardware.aggregateRequests();
    ASSERT_EQ(aggregates.size(), 1U);
    EXPECT_EQ(aggregates[0].name, "Kavo Meetings capture");
    EXPECT_TRUE(std::regex_match(
        aggregates[0].uid,
        std::regex(R"(brindle\.meetings\.desktop\.aggregate\.[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})")))
        << aggregates[0].uid;
    EXPECT_TRUE(aggregates[0].isPrivate);
    EXPECT_FALSE(aggregates[0].stacked);
    EXPECT_TRUE(aggregates[0].tapAutoStart);
    EXPECT_TRUE(aggregates[0].subDevices.empty());
    ASSERT_EQ(aggregates[0].taps.size(), 1U);
    EXPECT_EQ(aggregates[0].taps[0].uid, taps[0].uuid);
    EXPECT_TRUE(aggregates[0].taps[0].drift);

    EXPECT_EQ(hardware.listenerCount(tap->tapID(), audio_property::kTapFormat), 1U);
    EXPECT_EQ(hardware.listenerCount(tap->aggregateID(), audio_property::kNominalSampleRate), 1U);
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::info),
              std::vector<std::string>{"Tap ready: 48000.000000 Hz 1 ch interleaved=true"});
}

TEST_F(SystemAudioTapTest, EveryAggregateDeviceCarriesADifferentUid) {
    std::set<std::string> uids;
    for (int i = 0; i < 5; ++i) {
        auto tap = makeTap();
        tap->prepare();
        tap->stop();
        tap->prepare();
        tap->stop();
    }
    for (const auto& description : hardware.aggregateRequests()) uids.insert(description.uid);
    EXPECT_EQ(uids.size(), 10U);
}

TEST_F(SystemAudioTapTest, ARefusedMonoTapFallsBackToStereoAndDeliversTheMeanOfBothChannels) {
    hardware.refuseTaps(Mix::mono, -50);
    hardware.setTapFormat(Mix::stereo, AudioStreamBasicDescription::float32(44'100, 2, false));
    hardware.setTapStream(Waveform::from([](std::int64_t frame, std::uint32_t channel) {
        return static_cast<float>(frame % 100) * (channel == 0 ? 0.001f : 0.003f);
    }));
    auto tap = runningTap();
    EXPECT_EQ(tap->preparedRate(), 44'100);
    EXPECT_EQ(tap->format()->channelsPerFrame, 2U);
    const auto taps = hardware.tapRequests();
    ASSERT_EQ(taps.size(), 2U);
    EXPECT_EQ(taps[1].mix, Mix::stereo);
    EXPECT_EQ(taps[1].excludedProcesses, taps[0].excludedProcesses);
    EXPECT_NE(taps[1].uuid, taps[0].uuid);
    EXPECT_EQ(hardware.aggregateRequests().at(0).taps.at(0).uid, taps[1].uuid);
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::notice),
              std::vector<std::string>{"Mono global tap unavailable on this route; falling back to stereo"});
    EXPECT_TRUE(logs.contains("SystemAudioTap", "Tap ready: 44100.000000 Hz 2 ch interleaved=false"));

    hardware.deliverBuffers(2);
    const auto frames = sink.frames();
    ASSERT_EQ(frames.size(), 1024U);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        EXPECT_FLOAT_EQ(frames[f], static_cast<float>(f % 100) * 0.002f) << f;
    }
}

TEST_F(SystemAudioTapTest, WhenNoTapCanBeMadeTheErrorNamesTheCauseAndNothingIsLeft) {
    hardware.refuseTaps(Mix::mono, -50);
    hardware.refuseTaps(Mix::stereo, 560947818, "No audio server is running");
    auto tap = makeTap();
    const TapError error = failure([&] { tap->prepare(); });
    EXPECT_EQ(error.kind(), TapError::Kind::tapCreationFailed);
    EXPECT_EQ(error.status(), 560947818);
    EXPECT_STREQ(error.what(), "process tap creation failed (OSStatus 560947818). No audio server is running");
    EXPECT_TRUE(hardware.aggregateRequests().empty());
    expectNothingLeft();
}

TEST_F(SystemAudioTapTest, TapFormatsOtherThan32BitFloatFailAndLeaveNoTap) {
    AudioStreamBasicDescription integer = AudioStreamBasicDescription::float32(48'000, 2);
    integer.formatFlags = 12;  // signed integer, packed
    integer.bitsPerChannel = 16;
    hardware.setTapFormat(Mix::mono, integer);
    auto tap = makeTap();
    TapError error = failure([&] { tap->prepare(); });
    EXPECT_EQ(error.kind(), TapError::Kind::unsupportedTapFormat);
    EXPECT_STREQ(error.what(), "tap delivered an unreadable format: 2 channels, 16 bits, flags 12");
    expectNothingLeft();

    hardware.setTapFormat(Mix::mono, AudioStreamBasicDescription::float32(48'000, 0));
    error = failure([&] { tap->prepare(); });
    EXPECT_STREQ(error.what(), "tap delivered an unreadable format: 0 channels, 32 bits, flags 1");
    expectNothingLeft();

    AudioStreamBasicDescription compressed = AudioStreamBasicDescription::float32(48'000, 2);
    compressed.formatID = fourCharCode("aac ");
    hardware.setTapFormat(Mix::mono, compressed);
    EXPECT_EQ(failure([&] { tap->prepare(); }).kind(), TapError::Kind::unsupportedTapFormat);
    expectNothingLeft();
}

TEST_F(SystemAudioTapTest, LaterPreparationFailuresTearDownWhatWasMade) {
    auto tap = makeTap();
    hardware.failTapFormatRead(-10);
    TapError error = failure([&] { tap->prepare(); });
    EXPECT_EQ(error.kind(), TapError::Kind::tapFormatUnreadable);
    EXPECT_STREQ(error.what(), "could not read tap stream format (OSStatus -10)");
    expectNothingLeft();

    hardware.failTapFormatRead(kAudioNoError);
    hardware.failAggregateCreation(1852797029);
    error = failure([&] { tap->prepare(); });
    EXPECT_EQ(error.kind(), TapError::Kind::aggregateCreationFailed);
    EXPECT_STREQ(error.what(), "aggregate device creation failed (OSStatus 1852797029)");
    expectNothingLeft();
    EXPECT_EQ(tap->preparedRate(), 0);
    EXPECT_EQ(failure([&] { tap->start(sink.sink()); }).kind(), TapError::Kind::notPrepared);
}

TEST_F(SystemAudioTapTest, WithoutOurOwnProcessObjectEveryTapIncludesUsAndSaysSo) {
    hardware.setProcessObject(std::nullopt, -1);
    auto tap = makeTap();
    tap->prepare();
    tap->stop();
    auto second = makeTap();
    second->prepare();
    for (const auto& description : hardware.tapRequests()) EXPECT_TRUE(description.excludedProcesses.empty());
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::notice),
              std::vector<std::string>(2, "Could not resolve our own process object; tap will not exclude us"));
    // Looked up once for the whole run, even though it was not found.
    hardware.setProcessObject(kOwnProcess);
    second->stop();
    second->prepare();
    EXPECT_EQ(hardware.processObjectReads(), 1);
    EXPECT_TRUE(hardware.tapRequests().back().excludedProcesses.empty());
}

TEST_F(SystemAudioTapTest, AListenerThatCannotBeAddedIsLoggedAndPreparationGoesOn) {
    hardware.failListener(audio_property::kNominalSampleRate, -66);
    auto tap = makeTap();
    EXPECT_EQ(tap->prepare(), 48'000);
    EXPECT_EQ(tap->formatListenerCount(), 1U);
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::notice),
              std::vector<std::string>{fmt::format("Could not observe property 1853059700 on object {} (OSStatus -66)",
                                                   tap->aggregateID())});
}

// --- Start ---

TEST_F(SystemAudioTapTest, StartRunsTheIOProcedureForItsQueueOnceOnly) {
    auto tap = makeTap();
    EXPECT_EQ(failure([&] { tap->start(sink.sink()); }).kind(), TapError::Kind::notPrepared);
    tap->prepare();
    tap->start(sink.sink());
    tap->start(sink.sink());
    EXPECT_TRUE(tap->isRunning());
    EXPECT_EQ(hardware.liveIOProcs(), 1U);
    EXPECT_EQ(hardware.runningIOProcs(), 1U);
    EXPECT_EQ(hardware.lastIOProcQueue(), &queue);
}

TEST_F(SystemAudioTapTest, IOProcedureAndDeviceStartFailuresCarryTheirStatus) {
    auto tap = makeTap();
    tap->prepare();
    hardware.failIOProcCreation(-4);
    TapError error = failure([&] { tap->start(sink.sink()); });
    EXPECT_EQ(error.kind(), TapError::Kind::ioProcCreationFailed);
    EXPECT_EQ(error.status(), -4);

    hardware.failIOProcCreation(kAudioNoError, true);
    error = failure([&] { tap->start(sink.sink()); });
    EXPECT_STREQ(error.what(), "IO proc creation failed (OSStatus 0)");

    hardware.failIOProcCreation(kAudioNoError);
    hardware.failDeviceStart(560227702);
    error = failure([&] { tap->start(sink.sink()); });
    EXPECT_EQ(error.kind(), TapError::Kind::deviceStartFailed);
    EXPECT_STREQ(error.what(), "aggregate device start failed (OSStatus 560227702)");
    EXPECT_FALSE(tap->isRunning());
    EXPECT_EQ(hardware.liveIOProcs(), 1U);

    hardware.failDeviceStart(kAudioNoError);
    tap->start(sink.sink());
    EXPECT_TRUE(tap->isRunning());
    EXPECT_EQ(hardware.liveIOProcs(), 1U);
    tap->stop();
    expectNothingLeft();
}

// --- The IO procedure ---

TEST_F(SystemAudioTapTest, HostTimeComesFromTheInputThenTheNowStampThenTheClock) {
    auto tap = runningTap();
    hardware.deliverNow({0.5f, 0.25f}, 2, {1000, true}, {2000, true});
    hardware.deliverNow({0.5f}, 1, {1000, false}, {2000, true});
    clock.advance(seconds(1));
    hardware.deliverNow({0.5f}, 1, {1000, false}, {2000, false});
    const auto deliveries = sink.deliveries();
    ASSERT_EQ(deliveries.size(), 3U);
    EXPECT_EQ(deliveries[0].frames, std::vector<float>{0.375f});
    EXPECT_EQ(deliveries[0].hostTime, 1000U);
    EXPECT_EQ(deliveries[1].hostTime, 2000U);
    EXPECT_EQ(deliveries[2].hostTime, clock.hostTime());
    EXPECT_EQ(tap->firstBufferHostTime(), 1000U);
    EXPECT_TRUE(tap->firstBufferWallClock().has_value());
}

// --- Rate changes ---

TEST_F(SystemAudioTapTest, AnOutputRateChangeAsksOnceWhicheverListenerHearsOfItFirst) {
    using RateChange = FakeAudioHardware::RateChange;
    for (const auto how : {RateChange::tapsFirst, RateChange::aggregatesFirst, RateChange::tapsOnly,
                           RateChange::aggregatesOnly}) {
        SCOPED_TRACE(static_cast<int>(how));
        RebuildRequests local;
        auto tap = runningTap();
        tap->setOnNeedsRebuild(local.handler());
        logs.clear();
        hardware.changeOutputRate(44'100, how);
        control.runUntilIdle();
        hardware.changeOutputRate(32'000);
        control.runUntilIdle();
        tap->flushRebuildRequests();
        EXPECT_EQ(local.reasons(), std::vector<Reason>{Reason::routeFormatChanged});
        EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::error).size(), 1U);
        tap->stop();
    }
    EXPECT_TRUE(requests.reasons().empty());
}

TEST_F(SystemAudioTapTest, SmallRateMovesAndMovesBeforeStartAreNotReported) {
    auto tap = makeTap();
    tap->prepare();
    hardware.changeOutputRate(44'100);
    EXPECT_TRUE(requestsAfterFlush(*tap).empty());
    hardware.changeOutputRate(48'000);
    tap->start(sink.sink());
    hardware.changeOutputRate(48'000.5);
    EXPECT_TRUE(requestsAfterFlush(*tap).empty());
}

// --- Stop and teardown ---

TEST_F(SystemAudioTapTest, StopOfAPreparedTapDestroysTheTapTheDeviceAndTheListeners) {
    auto tap = makeTap();
    tap->prepare();
    tap->stop();
    expectNothingLeft();
    EXPECT_EQ(tap->tapID(), kAudioObjectUnknown);
    EXPECT_EQ(tap->aggregateID(), kAudioObjectUnknown);
    EXPECT_EQ(tap->preparedRate(), 0);
    EXPECT_FALSE(tap->format().has_value());
}

TEST_F(SystemAudioTapTest, AfterStopNothingIsDeliveredOrReported) {
    auto tap = runningTap();
    const AudioObjectID aggregate = tap->aggregateID();
    tap->stop();
    expectNothingLeft();
    EXPECT_FALSE(tap->isRunning());
    hardware.deliverNow({0.5f}, 1, {1, true}, {1, true});
    hardware.notify(aggregate, audio_property::kNominalSampleRate);
    hardware.changeOutputRate(96'000);
    EXPECT_TRUE(requestsAfterFlush(*tap).empty());
    EXPECT_TRUE(sink.deliveries().empty());
}

TEST_F(SystemAudioTapTest, ListenerCallsQueuedWhenTheEndpointGoesAwayDoNothing) {
    auto tap = runningTap();
    hardware.changeOutputRate(44'100);
    tap.reset();
    EXPECT_NO_FATAL_FAILURE(control.runUntilIdle());
    EXPECT_TRUE(requests.reasons().empty());
    expectNothingLeft();
}

TEST_F(SystemAudioTapTest, OwnsItsQueuesWhenNoneAreGiven) {
    auto tap = std::make_unique<SystemAudioTap>(SystemAudioTap::Platform{hardware, hardware, ownProcess, clock});
    tap->setOnNeedsRebuild(requests.handler());
    tap->prepare();
    tap->start(sink.sink());
    ASSERT_NE(hardware.lastIOProcQueue(), nullptr);
    auto* own = dynamic_cast<SerialQueue*>(hardware.lastIOProcQueue());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->label(), "brindle.meetings.desktop.system-tap");
    hardware.changeOutputRate(32'000);
    // The listeners run on the endpoint's own control queue: wait for them there.
    for (int i = 0; i < 200 && requests.reasons().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        tap->flushRebuildRequests();
    }
    EXPECT_EQ(requests.reasons(), std::vector<Reason>{Reason::routeFormatChanged});
}

}  // namespace
}  // namespace kavo

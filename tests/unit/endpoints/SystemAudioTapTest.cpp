#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "EndpointTestSupport.h"
#include "audio/endpoints/SystemAudioTap.h"
#include "base/ManualScheduler.h"
#include "base/SerialQueue.h"
#include "support/FakeAudioHardware.h"

namespace kavo {
namespace {

using testing::FakeAudioHardware;
using testing::messagesAt;
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

    // The TapError `action` throws; fails the test when it throws none.
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
    testing::RecordingSink sink;
    testing::RebuildRequests requests;
};

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

    const auto aggregate = hardware.aggregateRequests().at(0);
    EXPECT_EQ(aggregate.name, "Kavo Meetings capture");
    EXPECT_TRUE(std::regex_match(
        aggregate.uid,
        std::regex(R"(brindle\.meetings\.desktop\.aggregate\.[0-9A-F]{8}-[0-9A-F]{4})"
                   R"(-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})")))
        << aggregate.uid;
    EXPECT_TRUE(aggregate.isPrivate);
    EXPECT_FALSE(aggregate.stacked);
    EXPECT_TRUE(aggregate.tapAutoStart);
    EXPECT_TRUE(aggregate.subDevices.empty());
    ASSERT_EQ(aggregate.taps.size(), 1U);
    EXPECT_EQ(aggregate.taps[0].uid, taps[0].uuid);
    EXPECT_TRUE(aggregate.taps[0].drift);
    EXPECT_EQ(hardware.listenerCount(tap->tapID(), audio_property::kTapFormat), 1U);
    EXPECT_EQ(hardware.listenerCount(tap->aggregateID(), audio_property::kNominalSampleRate), 1U);
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::info),
              std::vector<std::string>{"Tap ready: 48000.000000 Hz 1 ch interleaved=true"});

    // Every aggregate device, also of the same endpoint prepared again, has its own uid.
    tap->stop();
    tap->prepare();
    makeTap()->prepare();
    std::set<std::string> uids;
    for (const auto& description : hardware.aggregateRequests()) uids.insert(description.uid);
    EXPECT_EQ(uids.size(), 3U);
}

TEST_F(SystemAudioTapTest, ARefusedMonoTapFallsBackToStereoAndDeliversTheMeanOfBothChannels) {
    hardware.refuseTaps(Mix::mono, -50);
    hardware.setTapFormat(Mix::stereo, AudioStreamBasicDescription::float32(44'100, 2, false));
    hardware.setTapStream(testing::Waveform::from([](std::int64_t frame, std::uint32_t channel) {
        return static_cast<float>(frame % 100) * (channel == 0 ? 0.001f : 0.003f);
    }));
    auto tap = runningTap();
    EXPECT_EQ(tap->preparedRate(), 44'100);
    const auto taps = hardware.tapRequests();
    ASSERT_EQ(taps.size(), 2U);
    EXPECT_EQ(taps[1].mix, Mix::stereo);
    EXPECT_EQ(taps[1].excludedProcesses, taps[0].excludedProcesses);
    EXPECT_EQ(hardware.aggregateRequests().at(0).taps.at(0).uid, taps[1].uuid);
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::notice),
              std::vector<std::string>{
                  "Mono global tap unavailable on this route; falling back to stereo"});
    EXPECT_TRUE(
        logs.contains("SystemAudioTap", "Tap ready: 44100.000000 Hz 2 ch interleaved=false"));

    hardware.deliverBuffers(2);
    const auto frames = sink.frames();
    ASSERT_EQ(frames.size(), 1024U);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        EXPECT_FLOAT_EQ(frames[f], static_cast<float>(f % 100) * 0.002f) << f;
    }
}

TEST_F(SystemAudioTapTest, PreparationFailuresNameTheirCauseAndLeaveNothingBehind) {
    auto tap = makeTap();
    const auto expectFailure = [&](TapError::Kind kind, const char* text) {
        const TapError error = failure([&] { tap->prepare(); });
        EXPECT_EQ(error.kind(), kind);
        if (text) {
            EXPECT_STREQ(error.what(), text);
        }
        expectNothingLeft();
        EXPECT_EQ(tap->preparedRate(), 0);
    };
    AudioStreamBasicDescription integer = AudioStreamBasicDescription::float32(48'000, 2);
    integer.formatFlags = 12;  // signed integer, packed
    integer.bitsPerChannel = 16;
    hardware.setTapFormat(Mix::mono, integer);
    expectFailure(TapError::Kind::unsupportedTapFormat,
                  "tap delivered an unreadable format: 2 channels, 16 bits, flags 12");
    hardware.setTapFormat(Mix::mono, AudioStreamBasicDescription::float32(48'000, 0));
    expectFailure(TapError::Kind::unsupportedTapFormat,
                  "tap delivered an unreadable format: 0 channels, 32 bits, flags 1");
    AudioStreamBasicDescription compressed = AudioStreamBasicDescription::float32(48'000, 2);
    compressed.formatID = fourCharCode("aac ");
    hardware.setTapFormat(Mix::mono, compressed);
    expectFailure(TapError::Kind::unsupportedTapFormat, nullptr);

    hardware.failTapFormatRead(-10);
    expectFailure(TapError::Kind::tapFormatUnreadable,
                  "could not read tap stream format (OSStatus -10)");
    hardware.failTapFormatRead(kAudioNoError);
    hardware.setTapFormat(Mix::mono, AudioStreamBasicDescription::float32(48'000, 1));
    hardware.failAggregateCreation(1852797029);
    expectFailure(TapError::Kind::aggregateCreationFailed,
                  "aggregate device creation failed (OSStatus 1852797029)");
    EXPECT_EQ(failure([&] { tap->start(sink.sink()); }).kind(), TapError::Kind::notPrepared);

    hardware.refuseTaps(Mix::mono, -50);
    hardware.refuseTaps(Mix::stereo, 560947818, "No audio server is running");
    expectFailure(TapError::Kind::tapCreationFailed,
                  "process tap creation failed (OSStatus 560947818). No audio server is running");
}

TEST_F(SystemAudioTapTest, WithoutOurOwnProcessObjectEveryTapIncludesUsAndSaysSo) {
    hardware.setProcessObject(std::nullopt, -1);
    auto tap = makeTap();
    tap->prepare();
    tap->stop();
    makeTap()->prepare();
    for (const auto& description : hardware.tapRequests()) {
        EXPECT_TRUE(description.excludedProcesses.empty());
    }
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::notice),
              std::vector<std::string>(
                  2, "Could not resolve our own process object; tap will not exclude us"));
    // Looked up once for the whole run, even though it was not found.
    hardware.setProcessObject(kOwnProcess);
    tap->prepare();
    EXPECT_EQ(hardware.processObjectReads(), 1);
    EXPECT_TRUE(hardware.tapRequests().back().excludedProcesses.empty());
}

TEST_F(SystemAudioTapTest, AListenerThatCannotBeAddedIsLoggedAndPreparationGoesOn) {
    hardware.failListener(audio_property::kNominalSampleRate, -66);
    auto tap = makeTap();
    EXPECT_EQ(tap->prepare(), 48'000);
    EXPECT_EQ(tap->formatListenerCount(), 1U);
    EXPECT_EQ(messagesAt(logs, "SystemAudioTap", LogLevel::notice),
              std::vector<std::string>{
                  fmt::format("Could not observe property 1853059700 on object {} (OSStatus -66)",
                              tap->aggregateID())});
}

TEST_F(SystemAudioTapTest, StartRunsTheIOProcedureOnceAndFailuresCarryTheirStatus) {
    auto tap = makeTap();
    tap->prepare();
    hardware.failIOProcCreation(-4);
    TapError error = failure([&] { tap->start(sink.sink()); });
    EXPECT_EQ(error.kind(), TapError::Kind::ioProcCreationFailed);
    EXPECT_EQ(error.status(), -4);
    hardware.failIOProcCreation(kAudioNoError, true);
    EXPECT_STREQ(failure([&] { tap->start(sink.sink()); }).what(),
                 "IO proc creation failed (OSStatus 0)");

    hardware.failIOProcCreation(kAudioNoError);
    hardware.failDeviceStart(560227702);
    error = failure([&] { tap->start(sink.sink()); });
    EXPECT_EQ(error.kind(), TapError::Kind::deviceStartFailed);
    EXPECT_STREQ(error.what(), "aggregate device start failed (OSStatus 560227702)");
    EXPECT_FALSE(tap->isRunning());

    hardware.failDeviceStart(kAudioNoError);
    tap->start(sink.sink());
    tap->start(sink.sink());
    EXPECT_TRUE(tap->isRunning());
    EXPECT_EQ(hardware.liveIOProcs(), 1U);
    EXPECT_EQ(hardware.runningIOProcs(), 1U);
    EXPECT_EQ(hardware.lastIOProcQueue(), &queue);
}

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

TEST_F(SystemAudioTapTest, AnOutputRateChangeAsksOnceWhicheverListenerHearsOfItFirst) {
    using RateChange = FakeAudioHardware::RateChange;
    for (const auto how : {RateChange::tapsFirst, RateChange::aggregatesFirst, RateChange::tapsOnly,
                           RateChange::aggregatesOnly}) {
        SCOPED_TRACE(static_cast<int>(how));
        testing::RebuildRequests local;
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
    // Moves before start and moves under a hertz are not reported.
    auto tap = makeTap();
    tap->prepare();
    hardware.changeOutputRate(44'100);
    EXPECT_TRUE(requestsAfterFlush(*tap).empty());
    hardware.changeOutputRate(48'000);
    tap->start(sink.sink());
    hardware.changeOutputRate(48'000.5);
    EXPECT_TRUE(requestsAfterFlush(*tap).empty());
}

TEST_F(SystemAudioTapTest, StopTearsEverythingDownAndNothingIsDeliveredOrReportedAfter) {
    auto tap = runningTap();
    const AudioObjectID aggregate = tap->aggregateID();
    tap->stop();
    expectNothingLeft();
    EXPECT_FALSE(tap->isRunning());
    EXPECT_EQ(tap->tapID(), kAudioObjectUnknown);
    EXPECT_EQ(tap->aggregateID(), kAudioObjectUnknown);
    EXPECT_FALSE(tap->format().has_value());
    hardware.deliverNow({0.5f}, 1, {1, true}, {1, true});
    hardware.notify(aggregate, audio_property::kNominalSampleRate);
    hardware.changeOutputRate(96'000);
    EXPECT_TRUE(requestsAfterFlush(*tap).empty());
    EXPECT_TRUE(sink.deliveries().empty());

    // Listener calls queued when the endpoint goes away do nothing.
    auto released = runningTap();
    hardware.changeOutputRate(44'100);
    released.reset();
    control.runUntilIdle();
    EXPECT_TRUE(requests.reasons().empty());
    expectNothingLeft();
}

TEST_F(SystemAudioTapTest, OwnsItsQueuesWhenNoneAreGiven) {
    auto tap = std::make_unique<SystemAudioTap>(
        SystemAudioTap::Platform{hardware, hardware, ownProcess, clock});
    tap->setOnNeedsRebuild(requests.handler());
    tap->prepare();
    tap->start(sink.sink());
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

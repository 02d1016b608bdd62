#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "PulseTestSupport.h"
#include "audio/endpoints/MicRecorder.h"
#include "audio/endpoints/OwnProcessObject.h"
#include "audio/endpoints/SystemAudioTap.h"
#include "platform/linux/PulseAudioEngine.h"
#include "platform/linux/PulseAudioHardware.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseProcessTapHardware.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::Recording;
using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

// The endpoints on the product's own adapters, over the test's server.
class PulseCaptureTest : public pulse_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        pulse_.emplace();
        hardware_.emplace(*pulse_);
        taps_.emplace(*pulse_, *hardware_);
        ownProcess_.emplace(*hardware_, static_cast<std::int32_t>(::getpid()));
    }
    void TearDown() override {
        ownProcess_.reset();
        taps_.reset();
        hardware_.reset();
        pulse_.reset();
        DaemonTest::TearDown();
    }

    std::unique_ptr<MicRecorder> makeMicrophone(bool voiceProcessing) {
        return std::make_unique<MicRecorder>(
            voiceProcessing, std::make_unique<PulseAudioEngine>(*pulse_, *hardware_), *hardware_,
            clock_, utility_);
    }
    std::unique_ptr<SystemAudioTap> makeSystemAudio() {
        return std::make_unique<SystemAudioTap>(
            SystemAudioTap::Platform{*hardware_, *taps_, *ownProcess_, clock_});
    }
    // The sources this process records, by index.
    std::vector<std::uint32_t> ourSources() const {
        std::vector<std::uint32_t> sources;
        for (const auto& output : pulse_->sourceOutputs().value()) {
            if (output.client == pulse_->clientIndex()) sources.push_back(output.source);
        }
        return sources;
    }

    SystemClock clock_;
    SerialQueue utility_{"pulse-test.utility"};
    std::optional<PulseContext> pulse_;
    std::optional<PulseAudioHardware> hardware_;
    std::optional<PulseProcessTapHardware> taps_;
    std::optional<OwnProcessObject> ownProcess_;
};

TEST_F(PulseCaptureTest, MicrophoneAndSystemAudioEachRecordOnlyTheirOwnTone) {
    auto microphone = makeMicrophone(true);
    auto system = makeSystemAudio();
    const double micRate = microphone->prepare();
    const double systemRate = system->prepare();
    ASSERT_GT(micRate, 0);
    ASSERT_GT(systemRate, 0);
    // Voice processing is asked for but there is none: the raw microphone is recorded.
    EXPECT_FALSE(microphone->voiceProcessingActive());

    Recording micRecording(static_cast<std::size_t>(micRate * 10));
    Recording systemRecording(static_cast<std::size_t>(systemRate * 10));
    const std::uint64_t before = clock_.hostTime();
    microphone->start(micRecording.sink());
    system->start(systemRecording.sink());
    const auto voice = daemon_->tone(440, 4);
    const auto music = daemon_->tone(1000, 4);
    ASSERT_TRUE(micRecording.waitForAudio());
    ASSERT_TRUE(systemRecording.waitForAudio());
    const double micStart = micRecording.seconds(micRate);
    const double systemStart = systemRecording.seconds(systemRate);
    auto intoMicrophone = daemon_->play("micsrc", voice);
    auto intoSpeakers = daemon_->play("speakers", music);
    std::this_thread::sleep_for(3s);
    microphone->stop();
    system->stop();
    const std::uint64_t after = clock_.hostTime();

    ASSERT_GT(micRecording.seconds(micRate), micStart + 2.5);
    ASSERT_GT(systemRecording.seconds(systemRate), systemStart + 2.5);
    // A second in, both tones have long been playing.
    const auto mic = micRecording.window(micRate, micStart + 1.0, micStart + 2.5);
    const auto out = systemRecording.window(systemRate, systemStart + 1.0, systemStart + 2.5);
    EXPECT_GT(toneAmplitude(mic, micRate, 440), 0.3);
    EXPECT_LT(toneAmplitude(mic, micRate, 1000), 0.01);
    EXPECT_GT(toneAmplitude(out, systemRate, 1000), 0.3);
    EXPECT_LT(toneAmplitude(out, systemRate, 440), 0.01);

    // Host times are monotonic nanoseconds of this run, corrected by the latency, never
    // going back.
    for (const Recording* recording : {&micRecording, &systemRecording}) {
        const auto buffers = recording->buffers();
        EXPECT_GE(buffers.front().hostTime, before - 1'000'000'000ULL);
        EXPECT_LE(buffers.back().hostTime, after);
        EXPECT_GT(buffers.back().hostTime, buffers.front().hostTime);
        EXPECT_TRUE(
            std::is_sorted(buffers.begin(), buffers.end(),
                           [](const auto& a, const auto& b) { return a.hostTime < b.hostTime; }));
    }
}

TEST_F(PulseCaptureTest, SystemAudioRecordsTheMonitorOfTheDefaultSinkAndStaysThere) {
    auto system = makeSystemAudio();
    const double rate = system->prepare();
    Recording recording(static_cast<std::size_t>(rate * 10));
    system->start(recording.sink());
    ASSERT_TRUE(recording.waitForAudio());
    const auto monitor = pulse_->sourceInfo("speakers.monitor");
    ASSERT_TRUE(monitor);
    EXPECT_EQ(ourSources(), std::vector<std::uint32_t>{monitor->index});

    // Another default does not drag the running recording along, nor onto a microphone.
    daemon_->loadNullSink("headset");
    daemon_->pactl({"set-default-sink", "headset"});
    daemon_->pactl({"set-default-source", "micsrc.monitor"});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ourSources(), std::vector<std::uint32_t>{monitor->index});
    const std::size_t before = recording.size();
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(recording.size(), before);
    system->stop();
}

TEST_F(PulseCaptureTest, MicrophoneFollowsTheDefaultSourceByNameAndRepoints) {
    auto microphone = makeMicrophone(false);
    const double rate = microphone->prepare();
    Recording recording(static_cast<std::size_t>(rate * 10));
    microphone->start(recording.sink());
    ASSERT_TRUE(recording.waitForAudio());
    EXPECT_EQ(hardware_->readDeviceUID(hardware_->sourceID("mic")).value, "mic");

    daemon_->pactl({"set-default-source", "speakers.monitor"});
    ASSERT_TRUE(microphone->repoint().has_value());
    Recording after(static_cast<std::size_t>(rate * 10));
    microphone->start(after.sink());
    ASSERT_TRUE(after.waitForAudio());
    const double start = after.seconds(rate);
    auto music = daemon_->play("speakers", daemon_->tone(1000, 3));
    std::this_thread::sleep_for(2s);
    microphone->stop();
    EXPECT_GT(toneAmplitude(after.window(rate, start + 0.8, start + 1.6), rate, 1000), 0.3);
}

}  // namespace
}  // namespace kavo::linux_platform

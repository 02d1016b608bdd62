#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <numbers>

#include "PulseTestSupport.h"
#include "capture/files/WavWriter.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::monotonicNow;
using namespace std::chrono_literals;

// The far side's and the microphone's clicks: bursts of their own pitch, a known gap apart.
constexpr double kSpeakerPitch = 1000;
constexpr double kMicrophonePitch = 3000;
constexpr double kSpeakerClickAt = 0.5;
constexpr double kMicrophoneClickAt = 1.0;
constexpr double kGap = kMicrophoneClickAt - kSpeakerClickAt;
constexpr double kBurstSeconds = 0.010;
constexpr double kTolerance = 0.030;          // handing over, against the wall clock
constexpr double kHostTimeTolerance = 0.005;  // host times, counted from the frames

// One stereo file into the speakers makes both clicks in one sink's frames. The microphone
// hears the right channel; the left holds the far side's click and the microphone's
// inverted, so the monitor folded to mono holds the far side's click alone.
std::filesystem::path writeClickFile(const std::filesystem::path& directory) {
    constexpr int kRate = 48000;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(1.5 * kRate) * 2, 0);
    const auto burst = [&](double at, double pitch, int channel, double sign) {
        const auto first = static_cast<std::size_t>(at * kRate);
        const auto length = static_cast<std::size_t>(kBurstSeconds * kRate);
        for (std::size_t i = 0; i < length; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double envelope = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * t / kBurstSeconds);
            const double value = sign * 0.8 * envelope * std::sin(2 * std::numbers::pi * pitch * t);
            samples[(first + i) * 2 + channel] +=
                static_cast<std::int16_t>(std::lrint(value * 32767));
        }
    };
    burst(kSpeakerClickAt, kSpeakerPitch, 0, 1);
    burst(kMicrophoneClickAt, kMicrophonePitch, 0, -1);
    burst(kMicrophoneClickAt, kMicrophonePitch, 1, 1);
    const auto file = directory / "clicks.wav";
    WavWriter writer(file, kRate, 2, 16);
    writer.append(samples.data(), static_cast<std::int64_t>(samples.size()));
    writer.close();
    return file;
}

// Where a burst of `pitch` is strongest, in samples, and its amplitude over a burst.
struct Burst {
    double at = -1;
    double amplitude = 0;
};

Burst findBurst(const std::vector<float>& samples, double rate, double pitch) {
    const auto length = static_cast<std::size_t>(kBurstSeconds * rate);
    const auto step = static_cast<std::size_t>(rate / 4'000);  // a quarter of a millisecond
    Burst strongest;
    for (std::size_t at = 0; at + length <= samples.size(); at += step) {
        const auto first = samples.begin() + static_cast<std::ptrdiff_t>(at);
        const double amplitude = pulse_test::toneAmplitude(
            {first, first + static_cast<std::ptrdiff_t>(length)}, rate, pitch);
        if (amplitude > strongest.amplitude)
            strongest = {static_cast<double>(at + length / 2), amplitude};
    }
    return strongest;
}

class PulseHostTimeTest : public pulse_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        daemon_->hearTheSpeakersRightChannel();
        clicks_ = writeClickFile(daemon_->home());
    }

    std::filesystem::path clicks_;
};

TEST_F(PulseHostTimeTest, BothEndpointsStampOneInstantWithOneHostTime) {
    pulse_test::EndpointPair endpoints(12);
    endpoints.start();
    // Past the first second, where a server's own latency estimate is furthest off.
    std::this_thread::sleep_for(1500ms);
    const double played = static_cast<double>(monotonicNow()) / 1e9;
    EXPECT_EQ(daemon_->play("speakers", clicks_).wait(), 0);
    std::this_thread::sleep_for(500ms);
    endpoints.stop();

    const auto systemSamples = endpoints.out.samples();
    const Burst speakerClick = findBurst(systemSamples, endpoints.systemRate, kSpeakerPitch);
    const Burst micClick = findBurst(endpoints.mic.samples(), endpoints.micRate, kMicrophonePitch);
    ASSERT_GT(speakerClick.amplitude, 0.1);
    ASSERT_GT(micClick.amplitude, 0.2);

    const auto speaker = endpoints.out.stampOf(speakerClick.at, endpoints.systemRate);
    const auto mic = endpoints.mic.stampOf(micClick.at, endpoints.micRate);
    ASSERT_TRUE(speaker && mic);
    const double offset = (mic->hostSeconds - speaker->hostSeconds) - kGap;
    const double arrivalOffset = (mic->arrivalSeconds - speaker->arrivalSeconds) - kGap;
    std::cout << "host-time offset of the microphone's click against the speakers': "
              << offset * 1000 << " ms (handed over " << arrivalOffset * 1000 << " ms apart)\n";
    EXPECT_LT(std::abs(offset), kHostTimeTolerance);
    // Handed over when heard, within one read of either stream.
    EXPECT_LT(std::abs(arrivalOffset), kTolerance);
    // Stamped when it sounded: not before the file reached it, nor after its buffer came
    // (a monitor's audio sounds a sink's latency after it is recorded).
    EXPECT_GT(speaker->hostSeconds, played + kSpeakerClickAt - kTolerance);
    EXPECT_GT(mic->hostSeconds, played + kMicrophoneClickAt - kTolerance);
    EXPECT_LT(speaker->hostSeconds, speaker->arrivalSeconds + 0.1);
    EXPECT_LT(mic->hostSeconds, mic->arrivalSeconds + kTolerance);
}

TEST_F(PulseHostTimeTest, ClicksHeardAtOneInstantLandTogetherInTheRecording) {
    pulse_test::PlatformRig rig;
    auto session = rig.createSession();
    const auto file = session->start();
    std::this_thread::sleep_for(2500ms);  // fresh server streams take a moment to start
    EXPECT_EQ(daemon_->play("speakers", clicks_).wait(), 0);
    std::this_thread::sleep_for(500ms);
    session->stop();

    const auto samples = testing::EchoScenario::samplesOf(file);
    constexpr double kRate = CaptureSession::kSampleRate;
    ASSERT_GT(samples.size(), static_cast<std::size_t>(3 * kRate));
    const Burst speakerClick = findBurst(samples, kRate, kSpeakerPitch);
    const Burst micClick = findBurst(samples, kRate, kMicrophonePitch);
    ASSERT_GT(speakerClick.amplitude, 0.05);
    ASSERT_GT(micClick.amplitude, 0.1);
    const double offset = (micClick.at - speakerClick.at) / kRate - kGap;
    std::cout << "offset of the microphone's click against the speakers' in the file: "
              << offset * 1000 << " ms\n";
    // The mixer lands both by their host times: no worse than the host times themselves.
    EXPECT_LT(std::abs(offset), kHostTimeTolerance);
}

}  // namespace
}  // namespace kavo::linux_platform

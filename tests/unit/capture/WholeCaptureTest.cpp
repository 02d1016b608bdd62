// Two endpoints playing tones on their own threads, with device clocks slightly off the
// host clock, mixed in simulated time into a real WAVE file and sidecar.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/AllocationProbe.h"
#include "support/ToneAmplitude.h"
#include "unit/capture/CaptureFixture.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using testing::EndpointScript;

constexpr float kMicAmplitude = 0.3f;
constexpr float kSystemAmplitude = 0.2f;
constexpr std::size_t kWindow = 1'600;  // one tick: 44 cycles of 440 Hz, 100 of 1 kHz

// The level of `frequency` in each tick-sized window from the second second on.
std::vector<double> levels(const std::vector<std::int16_t>& audio, double frequency) {
    std::vector<double> found;
    std::vector<float> window(kWindow);
    for (std::size_t at = 16'000; at + kWindow <= audio.size(); at += kWindow) {
        std::copy_n(audio.begin() + std::ptrdiff_t(at), kWindow, window.begin());
        found.push_back(testing::toneAmplitude(window, 16'000, frequency) / 32'767);
    }
    return found;
}

// The samples of a WAVE file whose header must declare exactly them.
std::vector<std::int16_t> samplesOf(const std::filesystem::path& path) {
    const auto bytes = testing::readBytes(path);
    EXPECT_EQ(testing::u32At(bytes, 40), bytes.size() - 44);
    EXPECT_EQ(testing::u32At(bytes, 4), bytes.size() - 8);
    std::vector<std::int16_t> samples((bytes.size() - 44) / 2);
    std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
    return samples;
}

class WholeCaptureTest : public testing::CaptureFixture {
protected:
    // 440 Hz from a microphone 300 ppm fast; 1 kHz from a system output 200 ppm slow.
    WholeCaptureTest() {
        endpoints.microphoneDefault =
            EndpointScript::at(48'000).playing({.sampleRate = 48'000,
                                                .framesPerBuffer = 480,
                                                .clockOffsetPpm = 300,
                                                .frequency = 440,
                                                .amplitude = kMicAmplitude,
                                                .signal = {}});
        endpoints.systemDefault = EndpointScript::at(44'100).playing({.sampleRate = 44'100,
                                                                      .framesPerBuffer = 441,
                                                                      .clockOffsetPpm = -200,
                                                                      .frequency = 1'000,
                                                                      .amplitude = kSystemAmplitude,
                                                                      .signal = {}});
    }

    // Moves simulated time on in 20 ms steps; after each, every running endpoint's device
    // thread hands over what its clock has produced by then, and the mixer ticks, the
    // sidecar timer and debounced rebuilds run when due.
    void run(std::chrono::seconds duration) {
        for (int step = 0; step < static_cast<int>(duration.count()) * 50; ++step) {
            scheduler.advance(20ms);
            for (const auto& made : {endpoints.microphones(), endpoints.systems()})
                for (const auto& endpoint : made) endpoint->deliverUntil(clock.hostTime());
        }
    }

    std::shared_ptr<CaptureSession> session = makeSession();
};

TEST_F(WholeCaptureTest, TenMinutesOfTwoDriftingSourcesLandInTheFileOnTheMixerClock) {
    const auto url = session->start();
    const auto mixer = session->mixer();
    ASSERT_TRUE(mixer);
    const auto& mic = *mixer->channels()[0];
    const auto& system = *mixer->channels()[1];
    const std::uint64_t startHost = clock.hostTime();
    const std::int64_t allocationsBefore = testing::allocationsInAudioCallbacks();

    run(10min);
    const std::uint64_t elapsed = clock.hostTime() - startHost;
    session->stop();
    // Ten minutes of deliveries without one allocation (nor, therefore, one log line) on
    // the devices' threads.
    EXPECT_EQ(testing::allocationsInAudioCallbacks(), allocationsBefore);

    // The length is what the host clock says, to the frame, whatever the devices did.
    const auto expectedFrames = static_cast<std::int64_t>(elapsed * 16'000 / 1'000'000'000);
    ASSERT_EQ(expectedFrames, 9'600'000);
    EXPECT_EQ(mixer->framesWritten(), expectedFrames);
    const auto samples = samplesOf(url);
    EXPECT_EQ(static_cast<std::int64_t>(samples.size()), expectedFrames);

    // Both device clocks were steered: 300 ppm of ten minutes is 2 880 output frames to
    // drop from the microphone, 200 ppm is 1 920 to add to the system.
    EXPECT_NEAR(mic.splicedFrames(), 2'880, 32);
    EXPECT_NEAR(system.splicedFrames(), -1'920, 32);
    for (const auto* channel : {&mic, &system}) {
        SCOPED_TRACE(channel->name());
        EXPECT_GE(channel->driftCorrections(), 59);
        EXPECT_EQ(channel->totalFrames(), expectedFrames);
        EXPECT_EQ(channel->droppedSourceFrames(), 0);
        EXPECT_LT(channel->underrunFrames(), 16'000);
        EXPECT_GT(channel->lastRealFrame(), expectedFrames - 3'200);
    }

    // Both tones throughout, at their levels: the share of windows within 2 % and 5 %.
    for (const auto& [hz, amplitude] :
         {std::pair{440.0, kMicAmplitude}, {1'000.0, kSystemAmplitude}}) {
        const auto found = levels(samples, hz);
        const auto share = [&](double tolerance) {
            return double(std::count_if(found.begin(), found.end(),
                                        [&](double level) {
                                            return std::fabs(level - amplitude) <
                                                   tolerance * amplitude;
                                        })) /
                   double(found.size());
        };
        EXPECT_GE(share(0.02), 0.5) << hz;
        EXPECT_GE(share(0.05), 0.95) << hz;
    }

    const auto sidecar = CaptureSidecar::read(*session->sidecarURL());
    EXPECT_DOUBLE_EQ(sidecar.durationSeconds, 600.0);
    EXPECT_TRUE(sidecar.deviceEvents.empty());
    EXPECT_TRUE(logged(LogLevel::error).empty());
}

// Also what a stop leaves: the final sidecar on disk, and no second start.
TEST_F(WholeCaptureTest, AMicrophoneThatDeliversNothingIsReportedWithItsCounters) {
    endpoints.queueMicrophone(EndpointScript::at(48'000));
    const auto url = session->start();
    run(30s);
    session->stop();

    const auto sidecar = CaptureSidecar::read(*session->sidecarURL());
    EXPECT_TRUE(sidecar.endedAt);
    EXPECT_DOUBLE_EQ(sidecar.durationSeconds, 30.0);
    ASSERT_TRUE(sidecar.sources);
    const auto& mic = (*sidecar.sources)[0];
    EXPECT_EQ(mic.totalFrames, 480'000);
    // All of it silence padded in, bar the few frames the drift checks spliced in.
    EXPECT_GE(mic.underrunFrames, 480'000 - 3 * Mixer::Channel::kMaxCorrection);
    EXPECT_LT((*sidecar.sources)[1].underrunFrames, 16'000);
    EXPECT_EQ(logged(LogLevel::error),
              std::vector<std::string>{"Capture " + session->captureId() +
                                       ": source mic recorded essentially nothing"});

    // Starting again is refused; the files stay as they are.
    EXPECT_THROW(session->start(), CaptureCancelledError);
    EXPECT_EQ(std::filesystem::file_size(url), 44U + 30U * 32'000U);
}

}  // namespace
}  // namespace kavo

// Whole captures through the capture session: two endpoints playing real tones on their
// own threads, with device clocks slightly off the host clock, mixed in simulated time
// into a real WAVE file and sidecar, which are then read back and analysed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>

#include "base/ManualScheduler.h"
#include "capture/CaptureSession.h"
#include "support/AudioCallbackScope.h"
#include "support/AllocationProbe.h"
#include "support/FakeAudioHardware.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using testing::DeviceStream;
using testing::EndpointScript;
using testing::FakeAudioHardware;
using testing::FakeCaptureEndpoints;
using testing::FakeEndpointState;
using testing::TempDir;
using testing::Waveform;

constexpr float kMicAmplitude = 0.3f;
constexpr float kSystemAmplitude = 0.2f;
constexpr std::size_t kWindow = 1'600;  // one tick: 44 cycles of 440 Hz, 100 of 1 kHz
constexpr AudioObjectID kBuiltInMic = 10;
constexpr AudioObjectID kSpeaker = 11;
constexpr AudioObjectID kDisplay = 12;

DeviceStream microphoneStream() {
    DeviceStream stream;
    stream.sampleRate = 48'000;
    stream.framesPerBuffer = 480;
    stream.clockOffsetPpm = 300;
    stream.waveform = Waveform::sine(440, kMicAmplitude);
    return stream;
}

DeviceStream systemStream(double rate) {
    DeviceStream stream;
    stream.sampleRate = rate;
    stream.framesPerBuffer = static_cast<std::int64_t>(rate / 100);
    stream.clockOffsetPpm = -200;
    stream.waveform = Waveform::sine(1'000, kSystemAmplitude);
    return stream;
}

// Amplitude of `frequency` in `count` samples at 16 kHz, full scale 1.
double levelAt(const std::int16_t* samples, std::size_t count, double frequency) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / 16'000);
    double s1 = 0;
    double s2 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(count) / 32'767;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(),
                     values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

std::uint32_t le32(const std::vector<char>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + i])) << (8 * i);
    }
    return value;
}

struct WaveFile {
    std::uint32_t riffSize = 0;
    std::uint32_t dataSize = 0;
    std::vector<std::int16_t> samples;
};

WaveFile readWave(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    WaveFile wave;
    if (bytes.size() < 44) return wave;
    wave.riffSize = le32(bytes, 4);
    wave.dataSize = le32(bytes, 40);
    wave.samples.resize((bytes.size() - 44) / 2);
    std::memcpy(wave.samples.data(), bytes.data() + 44, wave.samples.size() * 2);
    return wave;
}

class WholeCaptureTest : public ::testing::Test {
protected:
    WholeCaptureTest() {
        hardware.addDevice(
            {.id = kBuiltInMic, .uid = "BuiltInMic", .nominalRate = 48'000, .subDevices = {}});
        hardware.addDevice(
            {.id = kSpeaker, .uid = "BuiltInSpeaker", .nominalRate = 44'100, .subDevices = {}});
        hardware.addDevice(
            {.id = kDisplay, .uid = "HDMIDisplay", .nominalRate = 48'000, .subDevices = {}});
        hardware.setDefaultInput(kBuiltInMic);
        hardware.setDefaultOutput(kSpeaker);
        scheduler.runUntilIdle();
        endpoints.microphoneDefault = EndpointScript::at(48'000).playing(microphoneStream());
        endpoints.systemDefault = EndpointScript::at(44'100).playing(systemStream(44'100));
        session = CaptureSession::create({.directory = temp / "Captures",
                                          .factory = endpoints.factory(),
                                          .hardware = hardware,
                                          .clock = clock,
                                          .readDeviceSnapshot = {},
                                          .control = &scheduler,
                                          .mixerQueue = &scheduler,
                                          .usesTimers = true,
                                          .captureId = {}});
    }

    // Moves simulated time on in 20 ms steps; after each, every running endpoint's device
    // thread hands over what its clock has produced by then, and the 0.1 s mixer ticks,
    // the sidecar timer and the debounced rebuilds run when they fall due. `each` runs
    // after every simulated second.
    void run(std::chrono::seconds duration, const std::function<void(int second)>& each = {}) {
        const int steps = static_cast<int>(duration.count()) * 50;
        for (int step = 1; step <= steps; ++step) {
            scheduler.advance(std::chrono::milliseconds(20));
            const std::uint64_t now = clock.hostTime();
            if (auto mic = current(endpoints.microphones())) mic->deliverUntil(now);
            if (auto system = current(endpoints.systems())) system->deliverUntil(now);
            if (each && step % 50 == 0) each(step / 50);
        }
    }

    static std::shared_ptr<FakeEndpointState> current(
        const std::vector<std::shared_ptr<FakeEndpointState>>& made) {
        return made.empty() || !made.back()->running() ? nullptr : made.back();
    }

    std::vector<std::string> logged(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& entry : logs.entries()) {
            if (entry.category == "CaptureSession" && entry.level == level)
                result.push_back(entry.message);
        }
        return result;
    }

    // Tone levels per tick-sized window from `from` (in output frames) on.
    static std::vector<double> levels(const std::vector<std::int16_t>& audio, double frequency,
                                      std::size_t from, std::size_t to) {
        std::vector<double> result;
        for (std::size_t at = from; at + kWindow <= std::min(to, audio.size()); at += kWindow) {
            result.push_back(levelAt(audio.data() + at, kWindow, frequency));
        }
        return result;
    }

    static std::ptrdiff_t near(const std::vector<double>& values, double expected,
                               double tolerance) {
        return std::count_if(values.begin(), values.end(), [&](double value) {
            return std::fabs(value - expected) < tolerance * expected;
        });
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    FakeAudioHardware hardware{clock};
    FakeCaptureEndpoints endpoints{clock};
    TempDir temp;
    LogCapture logs;
    std::shared_ptr<CaptureSession> session;
};

TEST_F(WholeCaptureTest, TenMinutesOfTwoDriftingSourcesLandInTheFileOnTheMixerClock) {
    const auto url = session->start();
    const auto mixer = session->mixer();
    ASSERT_TRUE(mixer);
    const auto& mic = *mixer->channels()[0];
    const auto& system = *mixer->channels()[1];
    const std::uint64_t startHost = clock.hostTime();
    const std::int64_t allocationsBefore = testing::allocationsInAudioCallbacks();

    // Backlogs after the first half minute, once each second (between ticks, when the
    // test thread is the mixer's queue).
    std::vector<std::int64_t> backlogs;
    run(std::chrono::minutes(10), [&](int second) {
        if (second < 30) return;
        backlogs.push_back(mic.backlog());
        backlogs.push_back(system.backlog());
    });
    const std::uint64_t elapsed = clock.hostTime() - startHost;
    session->stop();
    // Ten minutes of deliveries into the session's channels without one allocation (nor,
    // therefore, one log line) on the devices' threads.
    EXPECT_EQ(testing::allocationsInAudioCallbacks(), allocationsBefore);
    {
        // The count is live: an allocation in a callback does show.
        const testing::AudioCallbackScope inCallback;
        EXPECT_TRUE(std::make_unique<std::string>(64, 'x'));
    }
    EXPECT_GT(testing::allocationsInAudioCallbacks(), allocationsBefore);

    // The length is what the host clock says, to the frame, whatever the devices did.
    const auto expectedFrames = static_cast<std::int64_t>(elapsed * 16'000 / 1'000'000'000);
    ASSERT_EQ(expectedFrames, 9'600'000);
    EXPECT_EQ(mixer->framesWritten(), expectedFrames);
    const auto wave = readWave(url);
    EXPECT_EQ(static_cast<std::int64_t>(wave.samples.size()), expectedFrames);
    EXPECT_EQ(wave.dataSize, expectedFrames * 2);
    EXPECT_EQ(wave.riffSize, expectedFrames * 2 + 36);

    // A fast and a slow device clock were both steered: 300 ppm of ten minutes is 2 880
    // output frames to drop from the microphone, 200 ppm is 1 920 to add to the system.
    for (const auto* channel : {&mic, &system}) {
        SCOPED_TRACE(channel->name());
        EXPECT_EQ(channel->driftCorrections(), 60);
        EXPECT_EQ(channel->totalFrames(), expectedFrames);
        EXPECT_EQ(channel->droppedSourceFrames(), 0);
        EXPECT_LT(channel->underrunFrames(), 16'000);
        EXPECT_GT(channel->lastRealFrame(), expectedFrames - 3'200);
    }
    EXPECT_GT(mic.splicedFrames(), 0);
    EXPECT_GT(system.splicedFrames(), 0);

    // Left alone, the fast microphone would pile up 2 880 frames over the ten minutes;
    // the backlog left after each tick stays within a few buffers of its target instead.
    ASSERT_FALSE(backlogs.empty());
    const auto high = *std::max_element(backlogs.begin(), backlogs.end());
    EXPECT_LE(high, Mixer::Channel::kTargetBacklog + 480) << "highest backlog " << high;

    // Both tones throughout, at their levels.
    const auto micLevels = levels(wave.samples, 440, 16'000, wave.samples.size());
    const auto systemLevels = levels(wave.samples, 1'000, 16'000, wave.samples.size());
    EXPECT_NEAR(median(micLevels), kMicAmplitude, 0.02 * kMicAmplitude);
    EXPECT_NEAR(median(systemLevels), kSystemAmplitude, 0.02 * kSystemAmplitude);
    EXPECT_GE(near(micLevels, kMicAmplitude, 0.05),
              static_cast<std::ptrdiff_t>(micLevels.size() * 95 / 100));
    EXPECT_GE(near(systemLevels, kSystemAmplitude, 0.05),
              static_cast<std::ptrdiff_t>(systemLevels.size() * 95 / 100));

    // The sidecar tells the same story.
    const auto sidecar = CaptureSidecar::read(*session->sidecarURL());
    EXPECT_DOUBLE_EQ(sidecar.durationSeconds, 600.0);
    ASSERT_TRUE(sidecar.sources);
    EXPECT_EQ((*sidecar.sources)[0].totalFrames, expectedFrames);
    EXPECT_EQ((*sidecar.sources)[1].totalFrames, expectedFrames);
    EXPECT_TRUE(sidecar.deviceEvents.empty());
    EXPECT_TRUE(logged(LogLevel::error).empty());
}

TEST_F(WholeCaptureTest, AnOutputChangeMidCaptureRebuildsOnlyTheSystemAndTheMicrophoneRunsOn) {
    // The new output runs at another rate, so the system channel is switched mid-capture.
    endpoints.queueSystem(EndpointScript::at(44'100).playing(systemStream(44'100)));
    endpoints.queueSystem(EndpointScript::at(48'000).playing(systemStream(48'000)));
    const auto url = session->start();
    const auto mixer = session->mixer();
    // Between two drift checks, so that no splice falls near the change.
    run(std::chrono::seconds(65));
    const std::int64_t changeFrame = mixer->framesWritten();
    hardware.setDefaultOutput(kDisplay);
    run(std::chrono::seconds(55));
    session->stop();

    ASSERT_EQ(endpoints.microphones().size(), 1U);
    EXPECT_EQ(endpoints.microphone()->calls(),
              (std::vector<std::string>{"prepare", "start", "stop"}));
    ASSERT_EQ(endpoints.systems().size(), 2U);
    EXPECT_EQ(mixer->channels()[1]->sampleRate(), 48'000.0);

    const auto sidecar = CaptureSidecar::read(*session->sidecarURL());
    ASSERT_EQ(sidecar.deviceEvents.size(), 2U);
    EXPECT_EQ(sidecar.deviceEvents[0].kind, "deviceChange");
    EXPECT_EQ(sidecar.deviceEvents[0].detail, "defaultOutputDevice -> systemAudio");
    EXPECT_EQ(sidecar.deviceEvents[1].kind, "rebuild");
    EXPECT_EQ(sidecar.deviceEvents[1].detail,
              "systemAudio deviceChanged: systemAudio 0 ms gap, 0 ms total");
    EXPECT_EQ(
        logged(LogLevel::notice),
        (std::vector<std::string>{
            "Device change (defaultOutputDevice) -> systemAudio: in BuiltInMic -> BuiltInMic, "
            "out BuiltInSpeaker -> HDMIDisplay",
            "Rebuilt systemAudio deviceChanged: systemAudio 0 ms gap, 0 ms total"}));

    // The microphone never missed a beat: its tone is in every tick around the change.
    const auto& mic = *mixer->channels()[0];
    EXPECT_LT(mic.underrunFrames(), 16'000);
    const auto wave = readWave(url);
    ASSERT_EQ(static_cast<std::int64_t>(wave.samples.size()), 1'920'000);
    const auto around = levels(wave.samples, 440, static_cast<std::size_t>(changeFrame) - 16'000,
                               static_cast<std::size_t>(changeFrame) + 32'000);
    EXPECT_EQ(near(around, kMicAmplitude, 0.05), static_cast<std::ptrdiff_t>(around.size()));
    // And the far side is back at its new rate.
    const auto after = levels(wave.samples, 1'000, static_cast<std::size_t>(changeFrame) + 32'000,
                              wave.samples.size());
    EXPECT_NEAR(median(after), kSystemAmplitude, 0.02 * kSystemAmplitude);
}

TEST_F(WholeCaptureTest, AMicrophoneThatDeliversNothingIsReportedWithItsCounters) {
    endpoints.queueMicrophone(EndpointScript::at(48'000));
    session->start();
    run(std::chrono::seconds(30));
    session->stop();

    const auto sidecar = *session->sidecar();
    ASSERT_TRUE(sidecar.sources);
    const auto& mic = (*sidecar.sources)[0];
    EXPECT_EQ(mic.name, "mic");
    EXPECT_EQ(mic.totalFrames, 480'000);
    // All of it silence padded in for the missing source, bar the few frames the drift
    // checks spliced in.
    EXPECT_GE(mic.underrunFrames, 480'000 - 3 * Mixer::Channel::kMaxCorrection);
    EXPECT_LT((*sidecar.sources)[1].underrunFrames, 16'000);
    EXPECT_EQ(logged(LogLevel::error),
              std::vector<std::string>{"Capture " + session->captureId() +
                                       ": source mic recorded essentially nothing"});
    EXPECT_TRUE(logs.contains("CaptureSession", "finalized: mic[rate=48000 underrun=" +
                                                    std::to_string(mic.underrunFrames) + " "));
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "PulseTestSupport.h"
#include "base/Clock.h"
#include "base/SerialQueue.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"
#include "support/PulseDaemon.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

// The samples of a 16-bit mono WAVE file, as floats.
std::vector<float> readSamples(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> samples;
    for (std::size_t at = 44; at + 1 < bytes.size(); at += 2) {
        std::int16_t sample = 0;
        std::memcpy(&sample, &bytes[at], 2);
        samples.push_back(static_cast<float>(sample) / 32768.0f);
    }
    return samples;
}

TEST(PulseCaptureSession, RecordsTheMicrophoneAndTheSpeakersIntoOneFile) {
    std::optional<testing::PulseDaemon> daemon;
    try {
        daemon.emplace();
    } catch (const std::exception& error) {
        FAIL() << "The test audio server did not start: " << error.what();
    }
    SystemClock clock;
    SerialQueue utility{"pulse-test.utility"};
    PulseAudioPlatform platform(clock, utility);
    testing::TempDir captures;
    const auto voice = daemon->tone(440, 5);
    const auto music = daemon->tone(1000, 5);

    auto session = CaptureSession::create({.directory = captures.path(),
                                           .factory = platform.endpointFactory(),
                                           .hardware = platform.hardware(),
                                           .clock = clock});
    const auto file = session->start();
    // Fresh server streams take a moment to deliver their first audio.
    std::this_thread::sleep_for(2s);
    auto intoMicrophone = daemon->play("micsrc", voice);
    auto intoSpeakers = daemon->play("speakers", music);
    std::this_thread::sleep_for(4s);
    session->stop();

    const auto samples = readSamples(file);
    constexpr double kRate = CaptureSession::kSampleRate;
    ASSERT_GT(samples.size(), static_cast<std::size_t>(5 * kRate));
    // The last two seconds lie well inside both tones.
    const std::vector<float> both(samples.end() - static_cast<std::ptrdiff_t>(2.5 * kRate),
                                  samples.end() - static_cast<std::ptrdiff_t>(0.5 * kRate));
    EXPECT_GT(toneAmplitude(both, kRate, 440), 0.1);
    EXPECT_GT(toneAmplitude(both, kRate, 1000), 0.1);
    EXPECT_LT(toneAmplitude(both, kRate, 700), 0.01);
    ASSERT_TRUE(session->sidecarURL());
    EXPECT_TRUE(std::filesystem::exists(*session->sidecarURL()));
}

TEST(PulseCaptureSession, DefaultSinkChangedMidRecordingRebuildsOnlyTheSystemAudioOnce) {
    std::optional<testing::PulseDaemon> daemon;
    try {
        daemon.emplace();
    } catch (const std::exception& error) {
        FAIL() << "The test audio server did not start: " << error.what();
    }
    SystemClock clock;
    SerialQueue utility{"pulse-test.utility"};
    PulseAudioPlatform platform(clock, utility);
    testing::TempDir captures;
    daemon->loadNullSink("headset");

    auto session = CaptureSession::create({.directory = captures.path(),
                                           .factory = platform.endpointFactory(),
                                           .hardware = platform.hardware(),
                                           .clock = clock});
    session->start();
    std::this_thread::sleep_for(2s);
    daemon->pactl({"set-default-sink", "headset"});
    std::this_thread::sleep_for(2s);
    session->stop();

    const auto sidecar = session->sidecar();
    ASSERT_TRUE(sidecar);
    std::vector<CaptureSidecar::DeviceEvent> changes;
    std::vector<CaptureSidecar::DeviceEvent> rebuilds;
    for (const auto& event : sidecar->deviceEvents) {
        (event.kind == "rebuild" ? rebuilds : changes).push_back(event);
    }
    ASSERT_EQ(changes.size(), 1U);
    ASSERT_EQ(rebuilds.size(), 1U);
    const std::string detail = rebuilds.front().detail.value_or("");
    EXPECT_EQ(changes.front().detail, "defaultOutputDevice -> systemAudio");
    EXPECT_EQ(detail.find("microphone"), std::string::npos) << detail;
    const auto gapAt = detail.find("systemAudio ", detail.find(": "));
    ASSERT_NE(gapAt, std::string::npos) << detail;
    EXPECT_LT(std::stoi(detail.substr(gapAt + std::string("systemAudio ").size())), 300) << detail;
}

}  // namespace
}  // namespace kavo::linux_platform

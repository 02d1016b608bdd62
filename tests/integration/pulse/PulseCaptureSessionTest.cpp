#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "PulseTestSupport.h"
#include "capture/CaptureSession.h"
#include "support/PulseDaemon.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::PlatformRig;
using pulse_test::readSamples;
using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

class PulseCaptureSession : public pulse_test::DaemonTest {};

TEST_F(PulseCaptureSession, RecordsTheMicrophoneAndTheSpeakersIntoOneFile) {
    PlatformRig rig;
    const auto voice = daemon_->tone(440, 5);
    const auto music = daemon_->tone(1000, 5);

    auto session = rig.createSession();
    const auto file = session->start();
    // Fresh server streams take a moment to deliver their first audio.
    std::this_thread::sleep_for(2s);
    auto intoMicrophone = daemon_->play("micsrc", voice);
    auto intoSpeakers = daemon_->play("speakers", music);
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

TEST_F(PulseCaptureSession, DefaultSinkChangedMidRecordingRebuildsOnlyTheSystemAudioOnce) {
    PlatformRig rig;
    daemon_->loadNullSink("headset");

    auto session = rig.createSession();
    session->start();
    std::this_thread::sleep_for(2s);
    daemon_->pactl({"set-default-sink", "headset"});
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

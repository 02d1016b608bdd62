#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "PulseTestSupport.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::monotonicNow;
using pulse_test::PlatformRig;
using pulse_test::readSamples;
using pulse_test::secondsOf;
using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

class PulseCaptureSession : public pulse_test::DaemonTest {};

std::vector<std::string> rebuildsIn(const CaptureSidecar& sidecar) {
    std::vector<std::string> details;
    for (const auto& event : sidecar.deviceEvents) {
        if (event.kind == "rebuild") details.push_back(event.detail.value_or(""));
    }
    return details;
}

// A quiet stereo sine, so that three together stay clear of the limiter.
std::filesystem::path quietTone(const testing::PulseDaemon& daemon, double frequency) {
    const auto file =
        daemon.home() / ("quiet-" + std::to_string(static_cast<int>(frequency)) + ".wav");
    const auto made =
        testing::PulseDaemon::run({"sox", "-n", "-r", "48000", "-c", "2", file.string(), "synth",
                                   "10", "sine", std::to_string(frequency), "vol", "0.25"});
    if (made.status != 0) throw std::runtime_error("sox could not make a tone");
    return file;
}

// The level of `frequency` in each 10 ms of a 16 kHz recording from `from` seconds on.
std::vector<double> levelsOf(const std::vector<float>& samples, double frequency, double from,
                             double to) {
    std::vector<double> levels;
    for (double at = from; at + 0.01 <= to; at += 0.01)
        levels.push_back(toneAmplitude(secondsOf(samples, at, at + 0.01), 16'000, frequency));
    return levels;
}

// The median level of `frequency` over [from, to) seconds, in quarter seconds: a loaded
// machine drops a buffer now and then.
double typicalLevel(const std::vector<float>& samples, double frequency, double from, double to) {
    std::vector<double> levels;
    for (double at = from; at + 0.25 <= to; at += 0.25)
        levels.push_back(toneAmplitude(secondsOf(samples, at, at + 0.25), 16'000, frequency));
    if (levels.empty()) return 0;
    std::nth_element(levels.begin(),
                     levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2), levels.end());
    return levels[levels.size() / 2];
}

// The far side of a call follows the default output: the server moves the call's player
// (a low-latency one, as a call's is) to the new sink at once, and the recording must
// follow as fast, from then on recording the new output alone.
TEST_F(PulseCaptureSession, ANewDefaultOutputIsRecordedAtOnceWithUnder50MillisecondsLost) {
    constexpr double kVoice = 440, kCall = 1800, kHeadset = 2500;
    daemon_->loadNullSink("headset");
    const auto lowLatency = [&](std::vector<std::string> device, double frequency) {
        device.insert(device.begin(), {"paplay", "--latency-msec=30"});
        device.push_back(quietTone(*daemon_, frequency).string());
        return testing::PulseDaemon::spawn(device);
    };
    auto intoMicrophone = daemon_->play("micsrc", quietTone(*daemon_, kVoice));
    auto intoHeadset = lowLatency({"--device=headset"}, kHeadset);
    auto call = lowLatency({}, kCall);
    std::this_thread::sleep_for(1s);
    PlatformRig rig;
    auto session = rig.createSession();
    const std::uint64_t started = monotonicNow();
    const auto file = session->start();
    std::this_thread::sleep_for(3s);
    const double switchedAt = static_cast<double>(monotonicNow() - started) / 1e9;
    daemon_->pactl({"set-default-sink", "headset"});
    std::this_thread::sleep_for(3s);
    // The new output's monitor alone besides the microphone.
    auto& pulse = rig.platform.pulse();
    const std::uint32_t mic = pulse.sourceInfo("mic").value().index;
    const std::uint32_t headsetMonitor = pulse.sourceInfo("headset.monitor").value().index;
    EXPECT_EQ(pulse_test::recordedSources(pulse),
              (std::vector{std::min(mic, headsetMonitor), std::max(mic, headsetMonitor)}));
    session->stop();

    const auto sidecar = session->sidecar();
    ASSERT_TRUE(sidecar);
    ASSERT_EQ(sidecar->deviceEvents.size(), 2U);
    EXPECT_EQ(sidecar->deviceEvents[0].detail, "defaultOutputDevice -> systemAudio");
    const auto rebuilds = rebuildsIn(*sidecar);
    ASSERT_EQ(rebuilds.size(), 1U);
    EXPECT_EQ(rebuilds[0].find("microphone"), std::string::npos) << rebuilds[0];
    std::cout << "rebuild note: " << rebuilds[0] << "\n";

    // The new output's own tone only after the switch; the call and the voice throughout.
    const auto samples = readSamples(file);
    const double seconds = static_cast<double>(samples.size()) / 16'000;
    ASSERT_GT(seconds, 5.5);
    EXPECT_LT(typicalLevel(samples, kHeadset, switchedAt - 1.5, switchedAt - 0.1), 0.01);
    EXPECT_GT(typicalLevel(samples, kHeadset, switchedAt + 0.5, seconds - 0.2), 0.05);
    EXPECT_GT(typicalLevel(samples, kCall, switchedAt - 1.5, switchedAt - 0.1), 0.05);
    EXPECT_GT(typicalLevel(samples, kCall, switchedAt + 0.5, seconds - 0.2), 0.05);
    EXPECT_GT(typicalLevel(samples, kVoice, 1, seconds - 0.2), 0.05);

    // What was lost of the call: the 10 ms pieces without it around the switch.
    const auto levels = levelsOf(samples, kCall, switchedAt - 1, switchedAt + 2);
    const auto lost =
        std::count_if(levels.begin(), levels.end(), [](double level) { return level < 0.05; });
    std::cout << "far side lost at the output switch: " << lost * 10 << " ms\n";
    EXPECT_LT(lost * 10, 50);
    // The rebuild note states that gap.
    const auto gapAt = rebuilds[0].find("systemAudio ", rebuilds[0].find(": "));
    ASSERT_NE(gapAt, std::string::npos);
    const int stated = std::stoi(rebuilds[0].substr(gapAt + std::string("systemAudio ").size()));
    EXPECT_NEAR(stated, lost * 10, 30) << rebuilds[0];
}

TEST_F(PulseCaptureSession, ANewDefaultInputAt16KilohertzReplacesTheMicrophone) {
    constexpr double kVoice = 440, kHeadsetVoice = 1500;
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headsetsrc", "rate=16000"});
    daemon_->pactl({"load-module", "module-remap-source", "master=headsetsrc.monitor",
                    "source_name=headsetmic", "rate=16000"});
    auto intoMicrophone = daemon_->play("micsrc", quietTone(*daemon_, kVoice));
    auto intoHeadset = daemon_->play("headsetsrc", quietTone(*daemon_, kHeadsetVoice));
    std::this_thread::sleep_for(1s);
    PlatformRig rig;
    auto session = rig.createSession();
    const std::uint64_t started = monotonicNow();
    const auto file = session->start();
    std::this_thread::sleep_for(3s);
    const double switchedAt = static_cast<double>(monotonicNow() - started) / 1e9;
    daemon_->pactl({"set-default-source", "headsetmic"});
    std::this_thread::sleep_for(3s);
    session->stop();

    const auto samples = readSamples(file);
    const double seconds = static_cast<double>(samples.size()) / 16'000;
    EXPECT_GT(typicalLevel(samples, kVoice, switchedAt - 1.5, switchedAt - 0.1), 0.05);
    EXPECT_LT(typicalLevel(samples, kHeadsetVoice, switchedAt - 1.5, switchedAt - 0.1), 0.01);
    EXPECT_GT(typicalLevel(samples, kHeadsetVoice, switchedAt + 1, seconds - 0.2), 0.05);
    EXPECT_LT(typicalLevel(samples, kVoice, switchedAt + 1, seconds - 0.2), 0.01);
    // At the new source's own rate (PipeWire keeps its graph's).
    const auto sources = session->sidecar().value().sources.value();
    ASSERT_EQ(sources.size(), 2U);
    EXPECT_EQ(sources[0].name, "mic");
    EXPECT_EQ(sources[0].sampleRateHz, rig.platform.pulse().sourceInfo("headsetmic").value().rate);
}

TEST_F(PulseCaptureSession, TheOnlyMicrophoneUnloadedLeavesTheMicrophoneChannelSilent) {
    constexpr double kVoice = 440, kMusic = 1000;
    std::string micModule;
    std::istringstream modules(daemon_->pactl({"list", "short", "modules"}));
    for (std::string line; std::getline(modules, line);) {
        if (line.find("source_name=mic") != std::string::npos)
            micModule = line.substr(0, line.find_first_of(" \t"));
    }
    ASSERT_FALSE(micModule.empty());
    auto intoMicrophone = daemon_->play("micsrc", quietTone(*daemon_, kVoice));
    auto intoSpeakers = daemon_->play("speakers", quietTone(*daemon_, kMusic));
    std::this_thread::sleep_for(1s);
    PlatformRig rig;
    auto session = rig.createSession();
    const std::uint64_t started = monotonicNow();
    const auto file = session->start();
    std::this_thread::sleep_for(3s);
    const double unloadedAt = static_cast<double>(monotonicNow() - started) / 1e9;
    daemon_->pactl({"unload-module", micModule});
    // The server's default source is now a monitor.
    ASSERT_NE(daemon_->pactl({"info"}).find(".monitor"), std::string::npos);
    std::this_thread::sleep_for(3s);
    session->stop();

    // The far side once, as loud as before; the voice, which the monitor of its sink would
    // carry, gone.
    const auto samples = readSamples(file);
    const double seconds = static_cast<double>(samples.size()) / 16'000;
    const double music = typicalLevel(samples, kMusic, unloadedAt - 1.5, unloadedAt - 0.1);
    EXPECT_GT(typicalLevel(samples, kVoice, unloadedAt - 1.5, unloadedAt - 0.1), 0.1);
    EXPECT_LT(typicalLevel(samples, kVoice, unloadedAt + 0.5, seconds - 0.2), 0.01);
    EXPECT_NEAR(typicalLevel(samples, kMusic, unloadedAt + 0.5, seconds - 0.2), music,
                music * 0.15);
    const auto events = session->sidecar().value().deviceEvents;
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& event) {
        return event.detail == std::string(DeviceWatch::kNoMicrophoneDetail);
    }));
}

TEST_F(PulseCaptureSession, RecordedSinkUnloadedRebuildsOnTheNewDefaultAndNeverOnTheMicrophone) {
    constexpr double kVoice = 440;     // what the microphone hears
    constexpr double kMusic = 2500;    // what the speakers play
    constexpr double kHeadset = 1000;  // what the next output plays
    // Another output, which the server prefers to the null sink that feeds the test's
    // microphone once the speakers are gone (a real sound card outranks a virtual sink).
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headset",
                    "sink_properties='device.class=sound priority.session=2000'"});
    std::string speakersModule;
    std::istringstream modules(daemon_->pactl({"list", "short", "modules"}));
    for (std::string line; std::getline(modules, line);) {
        if (line.find("sink_name=speakers") != std::string::npos) {
            speakersModule = line.substr(0, line.find_first_of(" \t"));
        }
    }
    ASSERT_FALSE(speakersModule.empty());

    const auto voice = quietTone(*daemon_, kVoice);
    const auto music = quietTone(*daemon_, kMusic);
    const auto headsetMusic = quietTone(*daemon_, kHeadset);
    PlatformRig rig;
    auto session = rig.createSession();
    const std::uint64_t started = monotonicNow();
    const auto since = [started] { return static_cast<double>(monotonicNow() - started) / 1e9; };
    const auto file = session->start();
    std::this_thread::sleep_for(2s);
    auto intoMicrophone = daemon_->play("micsrc", voice);
    auto intoSpeakers = daemon_->play("speakers", music);
    auto intoHeadset = daemon_->play("headset", headsetMusic);
    std::this_thread::sleep_for(2500ms);
    const double unloadedAt = since();
    daemon_->pactl({"unload-module", speakersModule});
    ASSERT_NE(daemon_->pactl({"info"}).find("Default Sink: headset"), std::string::npos);
    // A fresh recording of an idle null sink's monitor waits out the long block the sink
    // rendered before anyone recorded it: up to two seconds.
    std::this_thread::sleep_for(4s);

    // After the rebuild: the microphone on the microphone, the system audio on the new
    // default's monitor, nothing of ours on any other source.
    auto& pulse = rig.platform.pulse();
    const auto mic = pulse.sourceInfo("mic");
    const auto headsetMonitor = pulse.sourceInfo("headset.monitor");
    ASSERT_TRUE(mic && headsetMonitor);
    EXPECT_EQ(pulse_test::recordedSources(pulse),
              (std::vector{std::min(mic->index, headsetMonitor->index),
                           std::max(mic->index, headsetMonitor->index)}));
    const double stoppedAt = since();
    session->stop();

    const auto rebuilds = rebuildsIn(session->sidecar().value());
    EXPECT_TRUE(std::any_of(rebuilds.begin(), rebuilds.end(), [](const std::string& detail) {
        return detail.find("systemAudio") != std::string::npos;
    })) << ::testing::PrintToString(rebuilds);

    // The recording went on to the end.
    const auto samples = readSamples(file);
    ASSERT_GT(static_cast<double>(samples.size()) / 16'000, stoppedAt - 0.5);
    // Before: the voice and the speakers' music. At the end: the voice, and the system
    // audio rebuilt on the new default, with its own music and the speakers' music, which
    // the server moved there when the speakers went.
    const double voiceLevel = typicalLevel(samples, kVoice, unloadedAt - 1.5, unloadedAt - 0.2);
    ASSERT_GT(voiceLevel, 0.2);
    EXPECT_GT(typicalLevel(samples, kMusic, unloadedAt - 1.5, unloadedAt - 0.2), 0.2);
    for (const double frequency : {kVoice, kHeadset, kMusic}) {
        EXPECT_GT(typicalLevel(samples, frequency, stoppedAt - 1.5, stoppedAt - 0.25), 0.2)
            << frequency;
    }
    // Never, not even during the rebuild, did the voice also come in through the system
    // channel: it would stand louder for as long as that lasted, so short windows are
    // searched.
    double loudest = 0;
    double loudestAt = 0;
    for (double from = unloadedAt - 0.2; from + 0.05 < stoppedAt - 0.4; from += 0.01) {
        const double level = toneAmplitude(secondsOf(samples, from, from + 0.05), 16'000, kVoice);
        if (level > loudest) {
            loudest = level;
            loudestAt = from;
        }
    }
    std::cout << "loudest voice after the unload: " << loudest / voiceLevel << " times before\n";
    EXPECT_LT(loudest, voiceLevel * 1.15) << "at " << loudestAt << " s";
}

}  // namespace
}  // namespace kavo::linux_platform

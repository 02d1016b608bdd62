#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "PulseTestSupport.h"
#include "base/Clock.h"
#include "base/SerialQueue.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"
#include "support/PulseDaemon.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::monotonicNow;
using pulse_test::PlatformRig;
using pulse_test::readSamples;
using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

constexpr double kVoice = 440;     // what the microphone hears
constexpr double kMusic = 2500;    // what the speakers play
constexpr double kHeadset = 1000;  // what the next output plays
constexpr double kLeakWindow = 0.05;

class PulseSinkLoss : public pulse_test::DaemonTest {};

// A quiet stereo sine, so that the three together stay clear of the limiter.
std::filesystem::path quietTone(const testing::PulseDaemon& daemon, double frequency,
                                double seconds) {
    const auto file =
        daemon.home() / ("quiet-" + std::to_string(static_cast<int>(frequency)) + ".wav");
    const auto made = testing::PulseDaemon::run({"sox", "-n", "-r", "48000", "-c", "2",
                                                 file.string(), "synth", std::to_string(seconds),
                                                 "sine", std::to_string(frequency), "vol", "0.25"});
    if (made.status != 0) throw std::runtime_error("sox could not make a tone");
    return file;
}

// The module that made the null sink `name`.
std::string moduleOfSink(const testing::PulseDaemon& daemon, const std::string& name) {
    std::istringstream modules(daemon.pactl({"list", "short", "modules"}));
    std::string line;
    while (std::getline(modules, line)) {
        if (line.find("module-null-sink") != std::string::npos &&
            line.find("sink_name=" + name) != std::string::npos) {
            return line.substr(0, line.find_first_of(" \t"));
        }
    }
    throw std::runtime_error("no module made the sink " + name);
}

TEST_F(PulseSinkLoss, RecordedSinkUnloadedMidSessionRebuildsOnTheNewDefaultAndNeverOnTheMicrophone) {
    // Another output, which the server prefers to the null sink that feeds the test's
    // microphone once the speakers are gone (a real sound card outranks a virtual sink).
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headset",
                   "sink_properties=device.class=sound"});
    const std::string speakersModule = moduleOfSink(*daemon_, "speakers");
    const auto voice = quietTone(*daemon_, kVoice, 10);
    const auto music = quietTone(*daemon_, kMusic, 10);
    const auto headsetMusic = quietTone(*daemon_, kHeadset, 10);

    PlatformRig rig;
    auto session = rig.createSession();
    const std::uint64_t started = monotonicNow();
    const auto file = session->start();
    // Fresh server streams take a moment to deliver their first audio.
    std::this_thread::sleep_for(2s);
    auto intoMicrophone = daemon_->play("micsrc", voice);
    auto intoSpeakers = daemon_->play("speakers", music);
    auto intoHeadset = daemon_->play("headset", headsetMusic);
    std::this_thread::sleep_for(2500ms);
    const double unloadedAt = static_cast<double>(monotonicNow() - started) / 1e9;
    daemon_->pactl({"unload-module", speakersModule});
    ASSERT_NE(daemon_->pactl({"info"}).find("Default Sink: headset"), std::string::npos);
    // A fresh recording of an idle null sink's monitor waits out the long block the sink
    // rendered before anyone recorded it: up to two seconds.
    std::this_thread::sleep_for(4s);

    // Now, after the rebuild: the microphone on the microphone, the system audio on the
    // new default's monitor, nothing of ours on any other source.
    const auto outputs = rig.platform.pulse().sourceOutputs();
    const auto mic = rig.platform.pulse().sourceInfo("mic");
    const auto headsetMonitor = rig.platform.pulse().sourceInfo("headset.monitor");
    ASSERT_TRUE(outputs && mic && headsetMonitor);
    std::multiset<std::uint32_t> ours;
    for (const auto& output : *outputs) {
        if (output.client == rig.platform.pulse().clientIndex()) ours.insert(output.source);
    }
    EXPECT_EQ(ours, (std::multiset<std::uint32_t>{mic->index, headsetMonitor->index}));
    const double stoppedAt = static_cast<double>(monotonicNow() - started) / 1e9;
    session->stop();

    const auto sidecar = session->sidecar();
    ASSERT_TRUE(sidecar);
    std::vector<std::string> rebuilds;
    for (const auto& event : sidecar->deviceEvents) {
        if (event.kind == "rebuild") rebuilds.push_back(event.detail.value_or(""));
    }
    ASSERT_FALSE(rebuilds.empty());
    bool systemRebuilt = false;
    for (const auto& detail : rebuilds)
        systemRebuilt = systemRebuilt || detail.find("systemAudio") != std::string::npos;
    EXPECT_TRUE(systemRebuilt) << ::testing::PrintToString(rebuilds);
    std::cout << "rebuilds: " << ::testing::PrintToString(rebuilds) << "\n";

    // The recording went on to the end.
    const auto samples = readSamples(file);
    constexpr double kRate = CaptureSession::kSampleRate;
    ASSERT_GT(static_cast<double>(samples.size()) / kRate, stoppedAt - 0.5);
    const auto window = [&](double from, double to) {
        const auto first = std::min(samples.size(), static_cast<std::size_t>(from * kRate));
        const auto last = std::min(samples.size(), static_cast<std::size_t>(to * kRate));
        return std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                  samples.begin() + static_cast<std::ptrdiff_t>(last));
    };
    // Before the unload: the voice through the microphone and the speakers' music. A
    // loaded machine drops a buffer now and then; the typical quarter second counts.
    const auto typicalLevel = [&](double from, double to, double frequency) {
        std::vector<double> levels;
        for (double at = from; at + 0.25 <= to; at += 0.25)
            levels.push_back(toneAmplitude(window(at, at + 0.25), kRate, frequency));
        if (levels.empty()) return 0.0;
        std::nth_element(levels.begin(),
                         levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2),
                         levels.end());
        return levels[levels.size() / 2];
    };
    const double voiceLevel = typicalLevel(unloadedAt - 1.5, unloadedAt - 0.2, kVoice);
    ASSERT_GT(voiceLevel, 0.2);
    EXPECT_GT(typicalLevel(unloadedAt - 1.5, unloadedAt - 0.2, kMusic), 0.2);
    // At the end: the voice, and the system audio rebuilt on the new default: its own
    // music, and the speakers' music, which the server moved there when the speakers went.
    EXPECT_GT(typicalLevel(stoppedAt - 1.5, stoppedAt - 0.25, kVoice), 0.2);
    EXPECT_GT(typicalLevel(stoppedAt - 1.5, stoppedAt - 0.25, kHeadset), 0.2);
    EXPECT_GT(typicalLevel(stoppedAt - 1.5, stoppedAt - 0.25, kMusic), 0.2);
    // Never, not even while the system audio was being rebuilt, did the voice come in a
    // second time through the system channel: it would stand louder, for as long as it
    // lasted (until the rebuild), so short windows are searched.
    double loudest = 0;
    double loudestAt = 0;
    for (double from = unloadedAt - 0.2; from + kLeakWindow < stoppedAt - 0.4; from += 0.01) {
        const double level = toneAmplitude(window(from, from + kLeakWindow), kRate, kVoice);
        if (level > loudest) {
            loudest = level;
            loudestAt = from;
        }
    }
    std::cout << "loudest voice after the unload: " << loudest / voiceLevel
              << " times the voice before\n";
    EXPECT_LT(loudest, voiceLevel * 1.15) << "at " << loudestAt << " s";
}

}  // namespace
}  // namespace kavo::linux_platform

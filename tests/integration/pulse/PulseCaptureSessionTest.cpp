#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "PulseTestSupport.h"
#include "base/Log.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::secondsOf;
using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

// Whole recordings through the product's audio platform on the test's server, with the
// devices changed while they run.
class PulseCaptureSession : public pulse_test::DaemonTest {
protected:
    struct Step {
        Duration wait;
        std::function<void()> action;
    };
    struct Recorded {
        std::vector<float> samples;
        std::vector<double> changes;  // when each step came, in seconds of the recording
        double changedAt = 0;         // the step before() and after() look at
        double seconds = 0;
        CaptureSidecar sidecar;
        std::string log;  // what the recording logged, to tell why a check failed

        Recorded at(std::size_t step) const {
            auto view = *this;
            view.changedAt = changes.at(step);
            return view;
        }

        // The median level of `frequency` over [from, to) seconds, in quarter seconds: a
        // loaded machine drops a buffer now and then.
        double level(double frequency, double from, double to) const {
            std::vector<double> levels;
            for (double at = from; at + 0.25 <= to; at += 0.25)
                levels.push_back(
                    toneAmplitude(secondsOf(samples, at, at + 0.25), 16'000, frequency));
            if (levels.empty()) return 0;
            std::nth_element(levels.begin(), levels.begin() + std::ptrdiff_t(levels.size() / 2),
                             levels.end());
            return levels[levels.size() / 2];
        }
        // Before the last step, and from `settle` seconds after it to the end.
        double before(double frequency) const {
            return level(frequency, changedAt - 1.5, changedAt - 0.1);
        }
        double after(double frequency, double settle = 0.5) const {
            return level(frequency, changedAt + settle, seconds - 0.2);
        }
        std::vector<std::string> rebuilds() const {
            std::vector<std::string> details;
            for (const auto& event : sidecar.deviceEvents)
                if (event.kind == "rebuild") details.push_back(event.detail.value_or(""));
            return details;
        }
    };

    // Records while each step waits and then acts, and `after` beyond the last.
    Recorded record(const std::vector<Step>& steps, Duration after) {
        const LogCapture logs;
        pulse_test::PlatformRig rig;
        auto session = rig.createSession();
        const std::uint64_t started = pulse_test::monotonicNow();
        const auto file = session->start();
        Recorded recorded;
        for (const auto& step : steps) {
            std::this_thread::sleep_for(step.wait);
            recorded.changes.push_back(double(pulse_test::monotonicNow() - started) / 1e9);
            step.action();
        }
        std::this_thread::sleep_for(after);
        session->stop();
        recorded.samples = testing::EchoScenario::samplesOf(file);
        recorded.seconds = double(recorded.samples.size()) / 16'000;
        recorded.sidecar = session->sidecar().value();
        recorded.changedAt = recorded.changes.at(0);
        for (const auto& entry : logs.entries())
            recorded.log += entry.category + ": " + entry.message + "\n";
        return recorded;
    }

    // A quiet tone into `device` (three together stay clear of the limiter), with paplay's
    // `options`.
    void play(const std::string& device, double frequency, std::vector<std::string> options = {}) {
        std::vector<std::string> command{"paplay"};
        if (!device.empty()) command.push_back("--device=" + device);
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(daemon_->tone(frequency, 10, 0.25).string());
        players_.push_back(testing::PulseDaemon::spawn(command));
    }

    // The index of the module loaded with `argument`.
    std::string moduleWith(const std::string& argument) const {
        std::istringstream modules(daemon_->pactl({"list", "short", "modules"}));
        for (std::string line; std::getline(modules, line);) {
            std::istringstream words(line);
            for (std::string word; words >> word;)
                if (word == argument) return line.substr(0, line.find_first_of(" \t"));
        }
        ADD_FAILURE() << "no module with " << argument;
        return {};
    }

    std::vector<testing::PulseDaemon::Process> players_;
};

// The server moves the call's low-latency player to the new default output at once; the
// recording must follow as fast, from then on recording the new output alone. Later the
// default input moves to a 16 kHz microphone.
TEST_F(PulseCaptureSession, NewDefaultDevicesAreRecordedAtOnceWithUnder50MillisecondsLost) {
    constexpr double kVoice = 440, kCall = 1800, kHeadset = 2500, kHeadsetVoice = 1500;
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headset"});
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headsetsrc", "rate=16000"});
    daemon_->pactl({"load-module", "module-remap-source", "master=headsetsrc.monitor",
                    "source_name=headsetmic", "rate=16000"});
    play("micsrc", kVoice);
    play("headset", kHeadset, {"--latency-msec=30"});
    play("", kCall, {"--latency-msec=30"});
    play("headsetsrc", kHeadsetVoice);
    std::this_thread::sleep_for(1s);
    const auto toHeadset = [&] { daemon_->pactl({"set-default-sink", "headset"}); };
    const auto toHeadsetMic = [&] { daemon_->pactl({"set-default-source", "headsetmic"}); };
    const auto recorded = record({{3s, toHeadset}, {3s, toHeadsetMic}}, 4s);
    const auto rebuilds = recorded.rebuilds();
    ASSERT_EQ(rebuilds.size(), 2U);
    EXPECT_EQ(rebuilds[0].find("microphone"), std::string::npos) << rebuilds[0];
    EXPECT_EQ(rebuilds[1].find("systemAudio"), std::string::npos) << rebuilds[1];
    std::cout << "rebuild note: " << rebuilds[0] << "\n";

    // The new output's own tone only after the switch; the call throughout, the voice until
    // the input switch.
    const auto input = recorded.at(1);
    ASSERT_GT(recorded.seconds, 9.5);
    EXPECT_LT(recorded.before(kHeadset), 0.01);
    EXPECT_GT(recorded.after(kHeadset), 0.05);
    EXPECT_GT(recorded.before(kCall), 0.05);
    EXPECT_GT(recorded.after(kCall), 0.05);
    EXPECT_GT(recorded.level(kVoice, 1, input.changedAt - 0.2), 0.05);

    // What was lost of the call: the 10 ms pieces without it in the two seconds from the
    // switch, and where they lie. The file runs behind the host clock by the mixer's delay,
    // so the pieces before the switch were captured before the server heard of it: a hole
    // there is the call's player running dry on a busy machine, not the switch.
    int lost = 0;
    std::ostringstream where;
    for (double at = recorded.changedAt; at + 0.01 <= recorded.changedAt + 2; at += 0.01) {
        if (toneAmplitude(secondsOf(recorded.samples, at, at + 0.01), 16'000, kCall) >= 0.05)
            continue;
        ++lost;
        where << " " << std::lround((at - recorded.changedAt) * 1000);
    }
    std::cout << "far side lost at the output switch: " << lost * 10 << " ms, pieces at"
              << where.str() << " ms\n";
    EXPECT_LT(lost * 10, 50) << recorded.log;
    // The rebuild note states that gap.
    const auto gapAt = rebuilds[0].find("systemAudio ", rebuilds[0].find(": "));
    ASSERT_NE(gapAt, std::string::npos);
    const int stated = std::stoi(rebuilds[0].substr(gapAt + std::string("systemAudio ").size()));
    EXPECT_NEAR(stated, lost * 10, 30) << rebuilds[0];

    EXPECT_GT(input.before(kVoice), 0.05);
    EXPECT_LT(input.before(kHeadsetVoice), 0.01);
    EXPECT_GT(input.after(kHeadsetVoice, 1), 0.05);
    EXPECT_LT(input.after(kVoice, 1), 0.01);
}

// The recorded sink goes, and later the only microphone: the system audio rebuilds on the
// new default and never on the microphone, and the mic channel then records no monitor.
TEST_F(PulseCaptureSession, TheRecordedSinkAndThenTheOnlyMicrophoneUnloadedRecordTheFarSideOnce) {
    constexpr double kVoice = 440, kMusic = 2500, kHeadset = 1000;
    // An output the server prefers to the null sink behind the microphone once the speakers
    // are gone, as a real sound card outranks a virtual sink.
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headset",
                    "sink_properties='device.class=sound priority.session=2000'"});
    const auto speakersModule = moduleWith("sink_name=speakers");
    const auto micModule =
        moduleWith(testing::PulseDaemon::server() == testing::PulseDaemon::Server::pipewire
                       ? "sink_name=mic"
                       : "source_name=mic");
    // A fresh recording of an idle null sink's monitor waits out up to 2 s the sink rendered
    // before anyone recorded it, hence 4 s after the unload.
    const auto recorded =
        record({{2s,
                 [&] {
                     play("micsrc", kVoice);
                     play("speakers", kMusic);
                     play("headset", kHeadset);
                 }},
                {2500ms,
                 [&] {
                     daemon_->pactl({"unload-module", speakersModule});
                 }},
                {4s,
                 [&] {
                     daemon_->pactl({"unload-module", micModule});
                     // The server's default source is now a monitor.
                     EXPECT_NE(daemon_->pactl({"info"}).find(".monitor"), std::string::npos);
                 }}},
               3s);
    const auto sink = recorded.at(1);
    const auto mic = recorded.at(2);

    // Before the microphone goes, the voice, and the system audio rebuilt on the new default
    // with its own music and the speakers', which the server moved there.
    ASSERT_GT(recorded.seconds, mic.changedAt + 2.5);
    const double voiceLevel = recorded.level(kVoice, sink.changedAt - 1.5, sink.changedAt - 0.2);
    ASSERT_GT(voiceLevel, 0.2);
    EXPECT_GT(recorded.level(kMusic, sink.changedAt - 1.5, sink.changedAt - 0.2), 0.2);
    for (const double frequency : {kVoice, kHeadset, kMusic})
        EXPECT_GT(mic.before(frequency), 0.2) << frequency;
    // Never, not even during the rebuild, did the voice also come in through the system
    // channel: it would stand louder in a short window.
    double loudest = 0, loudestAt = 0;
    for (double from = sink.changedAt - 0.2; from + 0.05 < mic.changedAt - 0.2; from += 0.01) {
        const double level =
            toneAmplitude(secondsOf(recorded.samples, from, from + 0.05), 16'000, kVoice);
        if (level > loudest) std::tie(loudest, loudestAt) = std::pair{level, from};
    }
    std::cout << "loudest voice after the unload: " << loudest / voiceLevel << " times before\n";
    EXPECT_LT(loudest, voiceLevel * 1.15) << "at " << loudestAt << " s";

    // Without a microphone the far side once, as loud as before; the voice, which its sink's
    // monitor carries, gone.
    EXPECT_LT(mic.after(kVoice), 0.01);
    for (const double frequency : {kHeadset, kMusic})
        EXPECT_NEAR(mic.after(frequency), mic.before(frequency), mic.before(frequency) * 0.15);
    const auto& events = recorded.sidecar.deviceEvents;
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& event) {
        return event.detail == std::string(DeviceWatch::kNoMicrophoneDetail);
    }));
}

}  // namespace
}  // namespace kavo::linux_platform

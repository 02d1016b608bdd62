// How well the far side's echo leaves the microphone, on one scenario played through a
// private PulseAudio server: far-side speech to the speakers, and into the microphone the
// same speech late, quieter and reverberated, with the near side speaking alone and then
// over it. One stereo stream plays both (EchoScenario::call); the microphone is the right
// channel of the speakers' monitor, so the echo's delay is the scenario's own. Measured for this
// program's own cancellation in a real capture, and beside it for PulseAudio's module-echo-cancel
// with its WebRTC canceller: ERLE while the far side speaks alone, and the change of the near
// side's level in double talk.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "base/Clock.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"
#include "platform/linux/WebRtcEchoCanceller.h"
#include "support/EchoScenario.h"
#include "support/PulseDaemon.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using kavo::testing::EchoScenario;
using kavo::testing::PulseDaemon;

// The call to its end, a second after the recording started.
void playScenario(const PulseDaemon& daemon, const EchoScenario& scenario,
                  const std::string& speakers) {
    std::this_thread::sleep_for(1s);
    daemon.play(speakers, scenario.call()).wait();
    std::this_thread::sleep_for(500ms);
}

EchoScenario::Result ours(const PulseDaemon& daemon, const EchoScenario& scenario) {
    kavo::testing::MicrophoneTape tape(scenario.seconds() + 6);
    const kavo::SystemClock clock;
    kavo::linux_platform::PulseAudioPlatform platform;
    kavo::testing::TempDir captures;
    kavo::EndpointFactory factory = platform.endpointFactory();
    factory.makeEchoCanceller = [&tape] {
        return std::make_unique<kavo::testing::TapedCanceller>(
            std::make_unique<kavo::linux_platform::WebRtcEchoCanceller>(), tape);
    };
    auto session = kavo::CaptureSession::create({.directory = captures.path(),
                                                 .factory = std::move(factory),
                                                 .devices = platform.devices(),
                                                 .clock = clock});
    session->start();
    playScenario(daemon, scenario, "speakers");
    session->stop();
    const auto in = tape.taken(tape.in);
    const double offset =
        EchoScenario::offsetOf(in, EchoScenario::samplesOf(scenario.microphone()));
    return scenario.measure(in, offset, tape.taken(tape.out), offset);
}

constexpr const char* kModuleArguments =
    "aec_args=\"analog_gain_control=0 digital_gain_control=0 noise_suppression=0 "
    "extended_filter=1\"";

// The module's sink is mono and its source and sink must run on different server threads,
// so the far side plays to its sink and the microphone to a sink of its own ("room"), as a
// sound card's input would be.
EchoScenario::Result theModule(const PulseDaemon& daemon, const EchoScenario& scenario) {
    std::string module =
        daemon.pactl({"load-module", "module-echo-cancel", "aec_method=webrtc",
                      "source_master=room.monitor", "sink_master=speakers", "source_name=cancelled",
                      "sink_name=cancelling", kModuleArguments});
    while (!module.empty() && (module.back() == '\n' || module.back() == ' ')) module.pop_back();
    kavo::testing::TempDir recordings;
    const auto raw = recordings / "raw.wav";
    const auto cancelled = recordings / "cancelled.wav";
    {
        const auto parec = [](const std::string& device, const std::filesystem::path& file) {
            return PulseDaemon::spawn({"parec", "--device=" + device, "--rate=16000",
                                       "--channels=1", "--format=s16le", "--file-format=wav",
                                       file.string()});
        };
        auto rawRecorder = parec("room.monitor", raw);
        auto cancelledRecorder = parec("cancelled", cancelled);
        std::this_thread::sleep_for(1s);
        auto microphone = daemon.play("room", scenario.microphone());
        daemon.play("cancelling", scenario.farEnd()).wait();
        microphone.wait();
        std::this_thread::sleep_for(500ms);
    }
    daemon.pactl({"unload-module", module});
    const auto in = EchoScenario::samplesOf(raw);
    const auto out = EchoScenario::samplesOf(cancelled);
    return scenario.measure(
        in, EchoScenario::offsetOf(in, EchoScenario::samplesOf(scenario.microphone())), out,
        EchoScenario::offsetOf(out, EchoScenario::samplesOf(scenario.nearEnd())));
}

}  // namespace

int main() {
    PulseDaemon daemon;
    daemon.hearTheSpeakersRightChannel(PulseDaemon::Ear::linked);
    daemon.pactl({"load-module", "module-null-sink", "sink_name=room", "channels=1"});
    std::printf("module-echo-cancel aec_method=webrtc %s\n", kModuleArguments);
    for (const double delay : {0.06, 0.12, 0.18}) {
        kavo::testing::TempDir signals;
        const EchoScenario scenario(signals.path(), delay);
        const auto mine = ours(daemon, scenario);
        const auto module = theModule(daemon, scenario);
        std::printf(
            "echo delay %3.0f ms | ours: ERLE %5.1f dB, double talk %+5.1f dB | "
            "module-echo-cancel: ERLE %5.1f dB, double talk %+5.1f dB\n",
            delay * 1000, mine.erleDb, mine.doubleTalkChangeDb, module.erleDb,
            module.doubleTalkChangeDb);
    }
    return 0;
}

#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kavo::testing {

// A headless audio server of the test's own, in a private home: a null sink "speakers"
// (the default output), a null sink "micsrc" whose monitor is heard by the source "mic"
// (the default input). PulseAudio, or with KAVO_TEST_AUDIO_SERVER=pipewire PipeWire
// with pipewire-pulse and WirePlumber on a private session bus. While it lives, this
// process and the commands it runs talk to it. Throws with the server's log when it
// cannot start.
class PulseDaemon {
public:
    using Process = ChildProcess;

    enum class Server { pulseaudio, pipewire };
    static Server server();

    PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;
    ~PulseDaemon();

    const std::filesystem::path& home() const { return home_.path(); }

    // A command run with the server's environment: its exit status and standard output.
    struct Result {
        int status = -1;
        std::string output;
    };
    static Result run(const std::vector<std::string>& command);
    static Process spawn(const std::vector<std::string>& command);

    // Joins a PipeWire output port to an input port ("node:port"), waiting for both.
    static void link(const std::string& output, const std::string& input);

    // "pactl ARGS..." that must succeed; its output.
    std::string pactl(const std::vector<std::string>& arguments) const;

    // Makes the default source "ear", the right channel of what the speakers play: a
    // microphone that hears the room exactly in step with the speakers. Remapped from the
    // monitor, it hears as a microphone would, when the speakers sound. On PipeWire
    // remapping is a loopback, whose buffer under load may come to hold seconds of audio it
    // never reports; linked to the monitor's port instead, a virtual source hears the
    // speakers in their own graph cycle, as they render, a little before they sound
    // (PulseAudio remaps).
    enum class Ear { remapped, linked };
    void hearTheSpeakersRightChannel(Ear ear = Ear::remapped) const;

    // A stereo 48 kHz sine tone of `seconds` (sox), in the server's home.
    std::filesystem::path tone(double frequency, double seconds, double volume = 0.5) const;
    // paplay in the background.
    Process play(const std::string& device, const std::filesystem::path& file) const;

private:
    void startPulseAudio();
    void startPipeWire();

    TempDir home_;
    pid_t pid_ = -1;                 // PulseAudio daemonises: not a child of ours
    std::vector<Process> children_;  // stopped last first
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

}  // namespace kavo::testing

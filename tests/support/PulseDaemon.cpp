#include "support/PulseDaemon.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

namespace kavo::testing {
namespace {

ChildProcess spawnWith(const std::vector<std::string>& command,
                       const std::filesystem::path& out = {}, bool outToPipe = false) {
    ChildProcess::Options options;
    options.command = command;
    options.out = out;
    options.outToPipe = outToPipe;
    return ChildProcess(std::move(options));
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

PulseDaemon::Server PulseDaemon::server() {
    const char* name = ::getenv("KAVO_TEST_AUDIO_SERVER");
    return name != nullptr && std::string_view(name) == "pipewire" ? Server::pipewire
                                                                   : Server::pulseaudio;
}

PulseDaemon::PulseDaemon() {
    const auto runtime = home_.path() / "run";
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    const auto socket = runtime / "pulse" / "native";
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"HOME", home_.path().string()},
          {"XDG_RUNTIME_DIR", runtime.string()},
          {"PULSE_SERVER", "unix:" + socket.string()},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (runtime / "bus").string()}}) {
        const char* old = ::getenv(name.c_str());
        savedEnvironment_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    server() == Server::pipewire ? startPipeWire() : startPulseAudio();
    pactl({"set-default-sink", "speakers"});
    pactl({"set-default-source", "mic"});
}

void PulseDaemon::startPipeWire() {
    const auto log = home_.path() / "pipewire.log";
    const auto runtime = home_.path() / "run";
    const auto start = [&](const std::vector<std::string>& command) {
        children_.push_back(spawnWith(command, log));
    };
    start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
           "--address=unix:path=" + (runtime / "bus").string()});
    const auto waitFor = [&](const std::string& what, const std::function<bool()>& ready) {
        for (int i = 0; i < 200; ++i) {
            if (ready()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        throw std::runtime_error(what + " did not start: " + readAll(log));
    };
    waitFor("dbus-daemon", [&] { return std::filesystem::exists(runtime / "bus"); });
    start({"pipewire"});
    waitFor("pipewire", [&] { return std::filesystem::exists(runtime / "pipewire-0"); });
    start({"wireplumber"});
    start({"pipewire-pulse"});
    waitFor("pipewire-pulse", [] { return run({"pactl", "info"}).status == 0; });
    pactl({"load-module", "module-null-sink", "sink_name=speakers"});
    pactl({"load-module", "module-null-sink", "sink_name=micsrc"});
    // Remapping is a loopback here, whose buffer under load may come to hold seconds of audio
    // it never reports: the microphone is a virtual source joined to the monitor's ports.
    pactl({"load-module", "module-null-sink", "media.class=Audio/Source/Virtual",
           "sink_name=mic"});
    link("micsrc:monitor_FL", "mic:input_FL");
    link("micsrc:monitor_FR", "mic:input_FR");
    // Defaults are WirePlumber's to keep: it takes them once it runs.
    waitFor("wireplumber", [] {
        return run({"pactl", "set-default-sink", "speakers"}).status == 0 &&
               run({"pactl", "info"}).output.find("Default Sink: speakers") != std::string::npos;
    });
}

void PulseDaemon::startPulseAudio() {
    const auto runtime = home_.path() / "run";
    const auto log = home_.path() / "pa.log";
    // Not through run(): the daemon would hold the output pipe open for as long as it lives.
    const int status =
        spawn({"pulseaudio", "-D", "-n", "--exit-idle-time=-1", "--disallow-exit",
               "--log-target=file:" + log.string(), "--load=module-native-protocol-unix",
               "--load=module-null-sink sink_name=speakers",
               "--load=module-null-sink sink_name=micsrc",
               "--load=module-remap-source master=micsrc.monitor source_name=mic"})
            .wait();
    if (status != 0) {
        throw std::runtime_error("pulseaudio did not start (exit " + std::to_string(status) +
                                 "): " + readAll(log));
    }
    std::ifstream pidFile(runtime / "pulse" / "pid");
    pidFile >> pid_;
    if (pid_ <= 0) throw std::runtime_error("pulseaudio left no pid file: " + readAll(log));
}

PulseDaemon::~PulseDaemon() {
    while (!children_.empty()) children_.pop_back();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 200 && ::kill(pid_, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::kill(pid_, 0) == 0) ::kill(pid_, SIGKILL);
    }
    for (const auto& [name, value] : savedEnvironment_) {
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
}

void PulseDaemon::link(const std::string& output, const std::string& input) {
    // Ports appear a moment after their module.
    for (int tries = 0; run({"pw-link", output, input}).status != 0; ++tries) {
        if (tries == 200) throw std::runtime_error("pw-link could not link " + input);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

PulseDaemon::Result PulseDaemon::run(const std::vector<std::string>& command) {
    ChildProcess process = spawnWith(command, {}, true);
    Result result;
    while (const auto line = process.readLine(std::chrono::seconds(60)))
        result.output += *line + "\n";
    result.status = process.wait();
    return result;
}

PulseDaemon::Process PulseDaemon::spawn(const std::vector<std::string>& command) {
    return spawnWith(command);
}

std::string PulseDaemon::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const Result result = run(command);
    if (result.status != 0) throw std::runtime_error("pactl failed: " + arguments.front());
    return result.output;
}

void PulseDaemon::hearTheSpeakersRightChannel(Ear ear) const {
    if (ear == Ear::linked && server() == Server::pipewire) {
        pactl({"load-module", "module-null-sink", "media.class=Audio/Source/Virtual",
               "sink_name=ear", "channel_map=mono"});
        link("speakers:monitor_FR", "ear:input_MONO");
    } else {
        pactl({"load-module", "module-remap-source", "master=speakers.monitor",
               "source_name=ear", "channels=1", "master_channel_map=front-right",
               "channel_map=mono", "remix=no"});
    }
    pactl({"set-default-source", "ear"});
    // WirePlumber makes it the default a little later: a recording started before would
    // move to it, with a fresh echo canceller.
    for (int i = 0; i < 200 && pactl({"get-default-source"}).find("ear") != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::filesystem::path PulseDaemon::tone(double frequency, double seconds, double volume) const {
    const auto file = home_.path() / ("tone-" + std::to_string(static_cast<int>(frequency)) + "-" +
                                      std::to_string(volume) + ".wav");
    const Result made =
        run({"sox", "-n", "-r", "48000", "-c", "2", file.string(), "synth", std::to_string(seconds),
             "sine", std::to_string(frequency), "vol", std::to_string(volume)});
    if (made.status != 0) throw std::runtime_error("sox could not make a tone");
    return file;
}

PulseDaemon::Process PulseDaemon::play(const std::string& device,
                                       const std::filesystem::path& file) const {
    return spawn({"paplay", "--device=" + device, file.string()});
}

}  // namespace kavo::testing

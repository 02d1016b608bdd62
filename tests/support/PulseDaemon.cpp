#include "support/PulseDaemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

extern char** environ;

namespace kavo::testing {
namespace {

pid_t spawnProcess(const std::vector<std::string>& command, int stdoutFd) {
    std::vector<char*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("could not run " + command.front());
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a server process with its standard output and error in `log`.
pid_t spawnLogged(const std::vector<std::string>& command, const std::filesystem::path& log) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("could not open " + log.string());
    std::vector<char*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fd);
    if (failed != 0) throw std::runtime_error("could not run " + command.front());
    return pid;
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

PulseDaemon::Process::Process(Process&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

PulseDaemon::Process::~Process() {
    terminate();
}

int PulseDaemon::Process::wait() {
    if (pid_ <= 0) return -1;
    const int status = waitFor(pid_);
    pid_ = -1;
    return status;
}

void PulseDaemon::Process::terminate() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitFor(pid_);
    pid_ = -1;
}

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
    if (server() == Server::pipewire) {
        startPipeWire();
    } else {
        startPulseAudio();
    }
    pactl({"set-default-sink", "speakers"});
    pactl({"set-default-source", "mic"});
}

void PulseDaemon::startPipeWire() {
    const auto log = home_.path() / "pipewire.log";
    const auto runtime = home_.path() / "run";
    children_.emplace_back(spawnLogged({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                        "--address=unix:path=" + (runtime / "bus").string()},
                                       log));
    const auto waitFor = [&](const std::string& what, const std::function<bool()>& ready) {
        for (int i = 0; i < 200; ++i) {
            if (ready()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        throw std::runtime_error(what + " did not start: " + readAll(log));
    };
    waitFor("dbus-daemon", [&] { return std::filesystem::exists(runtime / "bus"); });
    children_.emplace_back(spawnLogged({"pipewire"}, log));
    waitFor("pipewire", [&] { return std::filesystem::exists(runtime / "pipewire-0"); });
    children_.emplace_back(spawnLogged({"wireplumber"}, log));
    children_.emplace_back(spawnLogged({"pipewire-pulse"}, log));
    waitFor("pipewire-pulse", [] { return run({"pactl", "info"}).status == 0; });
    for (const auto& module :
         {std::vector<std::string>{"module-null-sink", "sink_name=speakers"},
          {"module-null-sink", "sink_name=micsrc"},
          {"module-remap-source", "master=micsrc.monitor", "source_name=mic"}}) {
        std::vector<std::string> arguments{"load-module"};
        arguments.insert(arguments.end(), module.begin(), module.end());
        pactl(arguments);
    }
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
    const int status = waitFor(spawnProcess(
        {"pulseaudio", "-D", "-n", "--exit-idle-time=-1", "--disallow-exit",
         "--log-target=file:" + log.string(), "--load=module-native-protocol-unix",
         "--load=module-null-sink sink_name=speakers", "--load=module-null-sink sink_name=micsrc",
         "--load=module-remap-source master=micsrc.monitor source_name=mic"},
        -1));
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
        // Not our child once daemonised: wait for it to go by watching the pid.
        for (int i = 0; i < 200 && ::kill(pid_, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::kill(pid_, 0) == 0) ::kill(pid_, SIGKILL);
    }
    for (const auto& [name, value] : savedEnvironment_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

PulseDaemon::Result PulseDaemon::run(const std::vector<std::string>& command) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = -1;
    try {
        pid = spawnProcess(command, pipeFds[1]);
    } catch (...) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw;
    }
    ::close(pipeFds[1]);
    Result result;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    result.status = waitFor(pid);
    return result;
}

PulseDaemon::Process PulseDaemon::spawn(const std::vector<std::string>& command) {
    return Process(spawnProcess(command, -1));
}

std::string PulseDaemon::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const Result result = run(command);
    if (result.status != 0) throw std::runtime_error("pactl failed: " + arguments.front());
    return result.output;
}

std::string PulseDaemon::loadNullSink(const std::string& name) const {
    std::string index = pactl({"load-module", "module-null-sink", "sink_name=" + name});
    while (!index.empty() && (index.back() == '\n' || index.back() == ' ')) index.pop_back();
    return index;
}

std::filesystem::path PulseDaemon::tone(double frequency, double seconds) const {
    const auto file =
        home_.path() / ("tone-" + std::to_string(static_cast<int>(frequency)) + ".wav");
    const Result made =
        run({"sox", "-n", "-r", "48000", "-c", "2", file.string(), "synth", std::to_string(seconds),
             "sine", std::to_string(frequency), "vol", "0.5"});
    if (made.status != 0) throw std::runtime_error("sox could not make a tone");
    return file;
}

PulseDaemon::Process PulseDaemon::play(const std::string& device,
                                       const std::filesystem::path& file) const {
    return spawn({"paplay", "--device=" + device, file.string()});
}

}  // namespace kavo::testing

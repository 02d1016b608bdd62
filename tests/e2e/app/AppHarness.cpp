#include "AppHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace kavo::e2e {
namespace {

namespace fs = std::filesystem;

// Variables the application reads to find its files and servers; the test's own values
// of them never leak into a child.
constexpr const char* kOwnedVariables[] = {"HOME",           "XDG_DATA_HOME",  "XDG_CONFIG_HOME",
                                           "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                                           "KAVO_ENDPOINTS", "QT_QPA_PLATFORM"};

pid_t spawnChild(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                 const fs::path& out, const fs::path& err) {
    // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
    std::vector<char*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const std::string outPath = out.string();
    const std::string errPath = err.string();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test that dies takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || e < 0) ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        // The test blocks no signals of its own, but a child must not inherit a mask.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

int exitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

AppProcess::AppProcess(pid_t pid, fs::path out, fs::path err)
    : pid_(pid), out_(std::move(out)), err_(std::move(err)) {}

AppProcess::AppProcess(AppProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::move(other.out_)), err_(std::move(other.err_)) {}

AppProcess::~AppProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(10))) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void AppProcess::signal(int number) const {
    if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> AppProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    std::optional<int> code;
    waitUntil(
        [&] {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) code = exitCode(status);
            return code.has_value();
        },
        timeout);
    if (code) pid_ = -1;
    return code;
}

std::string AppProcess::menu() const {
    const std::string text = out();
    const std::string marker = "Menu:\n";
    const auto last = text.rfind(marker);
    if (last == std::string::npos) return {};
    return text.substr(last + marker.size());
}

AppHome::AppHome(const std::string& endpoints) {
    const auto runtime = dir_ / "run";
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    variables_ = {{"HOME", dir_.path().string()},
                  {"XDG_DATA_HOME", (dir_ / "data").string()},
                  {"XDG_CONFIG_HOME", (dir_ / "config").string()},
                  {"XDG_STATE_HOME", (dir_ / "state").string()},
                  {"XDG_CACHE_HOME", (dir_ / "cache").string()},
                  {"XDG_RUNTIME_DIR", runtime.string()},
                  {"QT_QPA_PLATFORM", "offscreen"}};
    if (!endpoints.empty()) {
        const auto file = dir_ / "endpoints.json";
        std::ofstream(file) << endpoints << '\n';
        variables_["KAVO_ENDPOINTS"] = file.string();
    }
}

fs::path AppHome::capturesDirectory() const {
    return dir_ / "data" / "brindle.meetings.desktop" / "Captures";
}

std::vector<std::string> AppHome::environment(const std::map<std::string, std::string>& extra) const {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const char* name : kOwnedVariables) merged.erase(name);
    for (const auto& [name, value] : variables_) merged[name] = value;
    for (const auto& [name, value] : extra) merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

CommandResult AppHome::run(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                           const std::map<std::string, std::string>& extraEnvironment) const {
    const std::string name = "run-" + std::to_string(++runs_);
    std::vector<std::string> command{kApplication.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    AppProcess process(spawnChild(command, environment(extraEnvironment), dir_ / (name + ".out"),
                                  dir_ / (name + ".err")),
                       dir_ / (name + ".out"), dir_ / (name + ".err"));
    CommandResult result;
    if (const auto code = process.wait(timeout)) {
        result.status = *code;
    } else {
        process.signal(SIGKILL);
        process.wait(std::chrono::seconds(10));
    }
    result.out = process.out();
    result.err = process.err();
    return result;
}

AppProcess AppHome::start(const std::string& name, const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{kApplication.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto out = dir_ / (name + ".out");
    const auto err = dir_ / (name + ".err");
    return AppProcess(spawnChild(command, environment({}), out, err), out, err);
}

}  // namespace kavo::e2e

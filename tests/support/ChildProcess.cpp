#include "support/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace kavo::testing {

ChildProcess::ChildProcess(Options options)
    : stopSignal_(options.stopSignal), stopGrace_(options.stopGrace) {
    // Everything the child needs is made before fork: after it, only async-signal-safe
    // calls.
    std::vector<char*> argv;
    for (auto& argument : options.command) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (options.environment) {
        for (auto& entry : *options.environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
    }
    char* const* const environment = options.environment ? envp.data() : environ;
    const std::string out = options.out.empty() ? "/dev/null" : options.out.string();
    const std::string err = options.err.empty() ? out : options.err.string();
    const std::string directory = options.directory.string();
    int pipeEnds[2] = {-1, -1};
    if (options.outToPipe && ::pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    pipe_ = FileDescriptor(pipeEnds[0]);
    const FileDescriptor writeEnd(pipeEnds[1]);
    const int deathSignal = options.stopSignal;
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, deathSignal);
        if (::getppid() != parent) ::_exit(127);
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = writeEnd.valid() ? writeEnd.get()
                                       : ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || o < 0 || e < 0) ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvpe(argv[0], argv.data(), environment);
        ::_exit(127);
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pipe_(std::move(other.pipe_)),
      pending_(std::move(other.pending_)),
      stopSignal_(other.stopSignal_),
      stopGrace_(other.stopGrace_) {}

ChildProcess::~ChildProcess() {
    stop();
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, stopSignal_);
    if (stopSignal_ == SIGKILL || !wait(stopGrace_)) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!pipe_.valid() || left.count() <= 0) return std::nullopt;
        pollfd ready{pipe_.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(pipe_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            if (pending_.empty()) return std::nullopt;
            return std::exchange(pending_, {});
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
    const auto end = pending_.find('\n');
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

int freeLoopbackPort() {
    const FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("could not find a free port");
    return ntohs(address.sin_port);
}

}  // namespace kavo::testing

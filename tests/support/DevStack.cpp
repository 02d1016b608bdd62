#include "support/DevStack.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kavo::testing {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(90);
constexpr auto kStopTimeout = std::chrono::seconds(15);

}  // namespace

std::filesystem::path DevStack::script() {
    return std::filesystem::path(KAVO_SOURCE_DIR) / "devstack" / "run.sh";
}

DevStack::DevStack(std::shared_ptr<HTTPTransport> transport) : transport_(std::move(transport)) {
    try {
        start();
    } catch (...) {
        stop();
        throw;
    }
}

DevStack::~DevStack() {
    stop();
}

void DevStack::takeDown() {
    stop();
}

void DevStack::bringBack() {
    // The port is the last ':'-separated part of the authority in each URL.
    const auto portOf = [](const std::string& url) {
        const auto authorityEnd = url.find('/', url.find("//") + 2);
        const auto colon = url.rfind(':', authorityEnd);
        return url.substr(colon + 1, authorityEnd - colon - 1);
    };
    start(portOf(baseURL() + "/"), portOf(endpoints_.at("blobEndpoint").get<std::string>()));
}

void DevStack::start(const std::string& port, const std::string& blobPort) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const std::string scriptPath = script().string();
    const std::string dataPath = data_.path().string();
    const std::string errorLog = (data_.path() / "stderr.log").string();
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Never outlive the test process, whatever ends it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        const int err = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        ::execl(scriptPath.c_str(), scriptPath.c_str(), "--port", port.c_str(), "--blob-port",
                blobPort.c_str(), "--data", dataPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::close(pipeEnds[0]);
            throw std::runtime_error("dev stack did not report ready within 90 s: " + stderrText());
        }
        pollfd ready{pipeEnds[0], POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 500))) < 0) {
            continue;
        }
        if (ready.revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (n <= 0) {
            ::close(pipeEnds[0]);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            throw std::runtime_error("dev stack exited before it was ready (status " +
                                     std::to_string(status) + "): " + stderrText());
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeEnds[0]);
    try {
        endpoints_ = nlohmann::json::parse(line.substr(0, line.find('\n')));
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(std::string("dev stack printed no JSON: ") + error.what() + ": " +
                                 line);
    }
    if (!endpoints_.is_object() || !endpoints_.contains("adminURL")) {
        throw std::runtime_error("dev stack printed an unexpected line: " + line);
    }
}

void DevStack::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

std::string DevStack::stderrText() const {
    std::ifstream in(data_.path() / "stderr.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string DevStack::baseURL() const {
    return endpoints_.at("baseURL").get<std::string>();
}

std::string DevStack::adminURL() const {
    return endpoints_.at("adminURL").get<std::string>();
}

std::string DevStack::updateManifestURL() const {
    return endpoints_.at("updateManifestURL").get<std::string>();
}

std::string DevStack::tenantBaseURL(const std::string& slug) const {
    for (const auto& tenant : endpoints_.at("tenants")) {
        if (tenant.at("slug") == slug) {
            return tenant.at("kavoBaseUrl").get<std::string>();
        }
    }
    throw std::runtime_error("dev stack has no tenant " + slug);
}

std::string DevStack::tenantClientName(const std::string& slug) const {
    for (const auto& tenant : endpoints_.at("tenants")) {
        if (tenant.at("slug") == slug) {
            return tenant.at("clientName").get<std::string>();
        }
    }
    throw std::runtime_error("dev stack has no tenant " + slug);
}

nlohmann::json DevStack::adminGet(const std::string& path) const {
    return admin("GET", path, nullptr);
}

nlohmann::json DevStack::adminPost(const std::string& path, const nlohmann::json& body) const {
    return admin("POST", path, &body);
}

nlohmann::json DevStack::adminPatch(const std::string& path, const nlohmann::json& body) const {
    return admin("PATCH", path, &body);
}

nlohmann::json DevStack::adminDelete(const std::string& path) const {
    return admin("DELETE", path, nullptr);
}

std::string DevStack::accessToken(const std::string& user) const {
    const nlohmann::json answer = adminPost("/tokens", {{"user", user}, {"resource", "kavo"}});
    return answer.at("access_token").get<std::string>();
}

nlohmann::json DevStack::admin(const std::string& method, const std::string& path,
                               const nlohmann::json* body) const {
    HTTPRequest request;
    request.method = method;
    request.url = adminURL() + path;
    request.timeout = std::chrono::seconds(30);
    request.headers.set("Accept", "application/json");
    if (body != nullptr) {
        request.headers.set("Content-Type", "application/json");
        request.body = body->dump();
    }
    const HTTPResponse response = transport_->data(request);
    if (response.status < 200 || response.status > 299) {
        throw std::runtime_error("dev stack admin " + method + " " + path + " answered " +
                                 std::to_string(response.status) + ": " + response.body);
    }
    if (response.body.empty()) {
        return nullptr;
    }
    return nlohmann::json::parse(response.body);
}

}  // namespace kavo::testing

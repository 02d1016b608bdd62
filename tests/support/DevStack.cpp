#include "support/DevStack.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kavo::testing {

namespace {

constexpr auto kStartTimeout = std::chrono::milliseconds(90'000);
constexpr auto kStopTimeout = std::chrono::milliseconds(15'000);

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
    // SIGTERM, on a test that dies too: the stack then stops its storage emulator.
    ChildProcess::Options options;
    options.command = {script().string(),    "--port", port, "--blob-port", blobPort, "--data",
                       data_.path().string()};
    options.err = data_.path() / "stderr.log";
    options.outToPipe = true;
    options.stopGrace = kStopTimeout;
    process_.emplace(std::move(options));
    const auto line = process_->readLine(kStartTimeout);
    if (!line) {
        const bool exited = !process_->running();
        process_.reset();
        throw std::runtime_error(exited ? "dev stack exited before it was ready: " + stderrText()
                                        : "dev stack did not report ready within 90 s: " +
                                              stderrText());
    }
    try {
        endpoints_ = nlohmann::json::parse(*line);
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(std::string("dev stack printed no JSON: ") + error.what() + ": " +
                                 *line);
    }
    if (!endpoints_.is_object() || !endpoints_.contains("adminURL")) {
        throw std::runtime_error("dev stack printed an unexpected line: " + *line);
    }
}

void DevStack::stop() {
    process_.reset();
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

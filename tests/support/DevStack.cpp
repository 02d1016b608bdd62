#include "support/DevStack.h"

#include <chrono>
#include <stdexcept>

#include "base/AtomicFile.h"

namespace kavo::testing {

namespace {

// The port of a URL: the last ':'-separated part of its authority.
std::string portOf(const std::string& url) {
    const auto authorityEnd = std::min(url.find('/', url.find("//") + 2), url.size());
    const auto colon = url.rfind(':', authorityEnd);
    return url.substr(colon + 1, authorityEnd - colon - 1);
}

}  // namespace

DevStack::DevStack(std::shared_ptr<HTTPTransport> transport) : transport_(std::move(transport)) {
    start();
}

void DevStack::takeDown() {
    process_.reset();
}

void DevStack::bringBack() {
    start(portOf(baseURL()), portOf(endpoints_.at("blobEndpoint").get<std::string>()));
}

void DevStack::start(const std::string& port, const std::string& blobPort) {
    // Stopped with SIGTERM, even when the test dies: the stack then stops its storage too.
    ChildProcess::Options options;
    options.command = {(std::filesystem::path(KAVO_SOURCE_DIR) / "devstack" / "run.sh").string(),
                       "--port",
                       port,
                       "--blob-port",
                       blobPort,
                       "--data",
                       data_.path().string()};
    options.err = data_ / "stderr.log";
    options.outToPipe = true;
    options.stopGrace = std::chrono::seconds(15);
    process_.emplace(std::move(options));
    const auto line = process_->readLine(std::chrono::seconds(90));
    const auto fail = [&](const std::string& why) {
        process_.reset();
        throw std::runtime_error("dev stack " + why + ": " +
                                 readFileIfExists(data_ / "stderr.log").value_or(""));
    };
    if (!line) fail("exited or did not report ready within 90 s");
    endpoints_ = nlohmann::json::parse(*line, nullptr, false);
    if (!endpoints_.is_object() || !endpoints_.contains("adminURL"))
        fail("printed no endpoints but \"" + *line + "\"");
}

const nlohmann::json& DevStack::tenant(const std::string& slug) const {
    for (const auto& tenant : endpoints_.at("tenants"))
        if (tenant.at("slug") == slug) return tenant;
    throw std::runtime_error("dev stack has no tenant " + slug);
}

std::string DevStack::tenantBaseURL(const std::string& slug) const {
    return tenant(slug).at("kavoBaseUrl").get<std::string>();
}

std::string DevStack::tenantClientName(const std::string& slug) const {
    return tenant(slug).at("clientName").get<std::string>();
}

std::string DevStack::accessToken(const std::string& user) const {
    return adminPost("/tokens", {{"user", user}, {"resource", "kavo"}})
        .at("access_token")
        .get<std::string>();
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
    if (response.status < 200 || response.status > 299)
        throw std::runtime_error("dev stack admin " + method + " " + path + " answered " +
                                 std::to_string(response.status) + ": " + response.body);
    return response.body.empty() ? nlohmann::json() : nlohmann::json::parse(response.body);
}

}  // namespace kavo::testing

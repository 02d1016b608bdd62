#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "net/HTTPTransport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kavo::testing {

// The local Kavo dev stack (devstack/run.sh) on free loopback ports and a data folder of its
// own. The constructor throws with its output when it cannot start: a test fails, never skips.
class DevStack {
public:
    // Admin calls go through `transport`.
    explicit DevStack(std::shared_ptr<HTTPTransport> transport);

    // The object the stack printed when ready.
    const nlohmann::json& endpoints() const { return endpoints_; }
    std::string baseURL() const { return endpoints_.at("baseURL"); }
    std::string adminURL() const { return endpoints_.at("adminURL"); }
    std::string updateManifestURL() const { return endpoints_.at("updateManifestURL"); }
    // The Kavo API base URL of the tenant with this slug ("contoso").
    std::string tenantBaseURL(const std::string& slug) const;
    std::string tenantClientName(const std::string& slug) const;

    // Admin API calls ("/faults"); each throws unless answered 2xx, and returns the JSON.
    nlohmann::json adminGet(const std::string& path) const { return admin("GET", path, nullptr); }
    nlohmann::json adminPost(const std::string& path, const nlohmann::json& body) const {
        return admin("POST", path, &body);
    }
    nlohmann::json adminPatch(const std::string& path, const nlohmann::json& body) const {
        return admin("PATCH", path, &body);
    }
    nlohmann::json adminDelete(const std::string& path) const {
        return admin("DELETE", path, nullptr);
    }

    // A Kavo API access token for `user` without a sign-in.
    std::string accessToken(const std::string& user = "avery.quinn@contoso.test") const;

    // Ends the stack as an outage would: its ports stop answering.
    void takeDown();
    // Starts it again on the same ports and data: the same URLs, tokens and recordings.
    void bringBack();

private:
    nlohmann::json admin(const std::string& method, const std::string& path,
                         const nlohmann::json* body) const;
    void start(const std::string& port = "0", const std::string& blobPort = "0");
    const nlohmann::json& tenant(const std::string& slug) const;

    // Declared first so the folder outlives the process using it.
    TempDir data_;
    std::shared_ptr<HTTPTransport> transport_;
    std::optional<ChildProcess> process_;
    nlohmann::json endpoints_;
};

}  // namespace kavo::testing

#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include "account/Tenant.h"
#include "base/Log.h"
#include "net/HTTPTransport.h"

namespace kavo {

// Asks the discovery router which Kavo deployment serves a tenant. Keeps no state
// between calls.
class TenantDiscoveryService {
public:
    static constexpr std::chrono::seconds kRequestTimeout{10};

    // `routerURL`: the router's discover endpoint; the tenant id becomes one more path
    // component of it.
    TenantDiscoveryService(std::string routerURL, std::shared_ptr<HTTPTransport> transport);

    // Throws TenantDiscoveryError.
    Tenant discover(const std::string& tid, std::stop_token stop = {}) const;

    const std::string& routerURL() const { return routerURL_; }

private:
    std::string routerURL_;
    std::shared_ptr<HTTPTransport> transport_;
    Logger log_{"TenantDiscovery"};
};

// The first `limit` characters of UTF-8 `text` followed by "..." when it is longer; empty
// when `text` is not valid UTF-8.
std::string bodyExcerpt(std::string_view text, std::size_t limit = 200);

}  // namespace kavo

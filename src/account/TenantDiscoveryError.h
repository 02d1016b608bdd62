#pragma once

#include <string>

#include "base/Error.h"

namespace kavo {

// Why the discovery router could not say which deployment serves a tenant.
class TenantDiscoveryError : public Error {
public:
    enum class Kind { http, transport, invalidResponse, malformedTid, notProvisioned };

    static TenantDiscoveryError http(int status);
    static TenantDiscoveryError transport(const std::string& message);
    static TenantDiscoveryError invalidResponse();
    static TenantDiscoveryError malformedTid();
    static TenantDiscoveryError notProvisioned();

    Kind kind() const { return kind_; }
    // The status of `http`, otherwise 0.
    int status() const { return status_; }

private:
    TenantDiscoveryError(Kind kind, int status, const std::string& text)
        : Error(text), kind_(kind), status_(status) {}

    Kind kind_;
    int status_;
};

}  // namespace kavo

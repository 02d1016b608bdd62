#pragma once

#include <memory>
#include <optional>
#include <string>

#include "account/Tenant.h"
#include "base/Clock.h"
#include "base/Defaults.h"

namespace kavo {

// The last discovered tenant record, kept in the defaults so that a later launch can go
// on at once. One entry for one tenant id; its age is never consulted.
class TenantDiscoveryCache {
public:
    static constexpr std::string_view kDefaultsKey = "kavo.tenantDiscoveryCache";

    struct Entry {
        std::string tid;
        Tenant tenant;
        WallTime cachedAt;
        bool operator==(const Entry&) const = default;
    };

    TenantDiscoveryCache(std::shared_ptr<Defaults> defaults, const Clock& clock);

    // The cached tenant when it was stored for exactly `tid`.
    std::optional<Tenant> tenant(const std::string& tid) const;
    // Replaces any earlier entry. Failures are silent.
    void store(const Tenant& tenant, const std::string& tid);

    // The stored entry, if one decodes.
    std::optional<Entry> entry() const;

private:
    std::shared_ptr<Defaults> defaults_;
    const Clock& clock_;
};

}  // namespace kavo

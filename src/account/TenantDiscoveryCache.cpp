#include "account/TenantDiscoveryCache.h"

#include <nlohmann/json.hpp>

#include "account/ReferenceDate.h"

namespace kavo {

TenantDiscoveryCache::TenantDiscoveryCache(std::shared_ptr<Defaults> defaults, const Clock& clock)
    : defaults_(std::move(defaults)), clock_(clock) {}

std::optional<TenantDiscoveryCache::Entry> TenantDiscoveryCache::entry() const {
    const auto data = defaults_->data(kDefaultsKey);
    if (!data) {
        return std::nullopt;
    }
    try {
        const auto json = nlohmann::json::parse(*data);
        return Entry{json.at("tid").get<std::string>(), Tenant::fromJson(json.at("tenant")),
                     fromSecondsSinceReferenceDate(json.at("cachedAt").get<double>())};
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<Tenant> TenantDiscoveryCache::tenant(const std::string& tid) const {
    auto cached = entry();
    if (!cached || cached->tid != tid) {
        return std::nullopt;
    }
    return std::move(cached->tenant);
}

void TenantDiscoveryCache::store(const Tenant& tenant, const std::string& tid) {
    const nlohmann::json json{{"tid", tid},
                              {"tenant", tenant.toJson()},
                              {"cachedAt", secondsSinceReferenceDate(clock_.now())}};
    try {
        defaults_->setData(kDefaultsKey, json.dump());
    } catch (const std::exception&) {
        // A cache that cannot be written only costs a discovery at the next launch.
    }
}

}  // namespace kavo

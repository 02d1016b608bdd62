#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "account/TenantDiscoveryCache.h"
#include "account/TenantDiscoveryError.h"
#include "account/TenantDiscoveryService.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"

// Discovery runs against the dev stack; here answers it never gives, and the cache.

namespace kavo {
namespace {

constexpr const char* kRouter = "https://router.test/api/kavo/discover";
constexpr const char* kTid = "4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f";

const Tenant kContoso{kTid,         "Contoso Meetings Lab",
                      "CM",         "https://kavo.contoso.test/t/contoso",
                      "westeurope", "active"};

TEST(Discovery, AnswersThatDoNotDecodeAreInvalidResponses) {
    const auto transport = std::make_shared<testing::RecordingTransport>();
    const TenantDiscoveryService service{kRouter, transport};
    const auto with = [](const char* key, nlohmann::json value) {
        auto changed = kContoso.toJson();
        if (value.is_null()) {
            changed.erase(key);
        } else {
            changed[key] = std::move(value);
        }
        return changed.dump();
    };
    for (const auto& text :
         {with("region", nullptr), with("initials", 7), with("kavoBaseUrl", "not a url"),
          with("kavoBaseUrl", "/t/contoso"), std::string("[]"), std::string("<html>")}) {
        transport->enqueue(200, text);
        try {
            service.discover(kTid);
            ADD_FAILURE() << "accepted " << text;
        } catch (const TenantDiscoveryError& error) {
            EXPECT_EQ(error.kind(), TenantDiscoveryError::Kind::invalidResponse) << text;
        }
    }
}

TEST(Cache, StoresOneEntryAndAnswersOnlyForItsTenantIdWhateverItsAge) {
    const auto defaults = std::make_shared<MemoryDefaults>();
    ManualClock clock;
    TenantDiscoveryCache cache{defaults, clock};
    cache.store(kContoso, "asked-for");
    clock.advance(seconds(366.0 * 24 * 3600));
    EXPECT_EQ(cache.tenant("asked-for"), kContoso) << "whatever the entry's age";
    EXPECT_EQ(cache.tenant(kTid), std::nullopt);
    cache.store(kContoso, kTid);
    EXPECT_EQ(cache.tenant("asked-for"), std::nullopt) << "one entry only";
    EXPECT_EQ(cache.tenant(kTid), kContoso);

    defaults->setData("kavo.tenantDiscoveryCache", R"({"tid":"x","tenant":{"tenantId":1}})");
    EXPECT_EQ(cache.tenant("x"), std::nullopt) << "corrupt data reads as nothing";
}

}  // namespace
}  // namespace kavo

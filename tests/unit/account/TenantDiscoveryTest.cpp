#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "support/RecordingTransport.h"
#include "account/ReferenceDate.h"
#include "account/TenantDiscoveryCache.h"
#include "account/TenantDiscoveryError.h"
#include "account/TenantDiscoveryService.h"
#include "base/ManualClock.h"

namespace kavo {
namespace {

using testing::RecordingTransport;

constexpr const char* kRouter = "https://router.test/api/kavo/discover";
constexpr const char* kTid = "4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f";

std::string discoveryBody() {
    return R"({"tenantId":"4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f","clientName":"Contoso Meetings Lab",)"
           R"("initials":"CM","kavoBaseUrl":"https://kavo.contoso.test/t/contoso","region":"westeurope",)"
           R"("extra":42})";
}

struct Discovery : ::testing::Test {
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    TenantDiscoveryService service{kRouter, transport};

    TenantDiscoveryError failure(int status, std::string body = "{}") {
        transport->enqueue(status, std::move(body));
        try {
            service.discover(kTid);
        } catch (const TenantDiscoveryError& error) {
            return error;
        }
        ADD_FAILURE() << "no error for status " << status;
        return TenantDiscoveryError::invalidResponse();
    }
};

TEST_F(Discovery, AsksTheRouterWithTheTenantIdAsAPathComponentAndBuildsAnActiveTenant) {
    transport->enqueue(200, discoveryBody());
    const auto tenant = service.discover(kTid);

    EXPECT_EQ(tenant, (Tenant{kTid, "Contoso Meetings Lab", "CM", "https://kavo.contoso.test/t/contoso",
                              "westeurope", "active"}));
    const auto request = transport->requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.url, std::string(kRouter) + "/" + kTid);
    EXPECT_EQ(request.headers.get("Accept"), "application/json");
    EXPECT_FALSE(request.headers.contains("Authorization"));
    EXPECT_EQ(request.timeout, std::chrono::seconds(10));
}

TEST_F(Discovery, EscapesATenantIdThatIsNotAPlainPathSegment) {
    transport->enqueue(200, discoveryBody());
    service.discover("a/b c");
    EXPECT_EQ(transport->requests().at(0).url, std::string(kRouter) + "/a%2Fb%20c");
}

TEST_F(Discovery, AnswersThatDoNotDecodeAreInvalidResponses) {
    auto body = nlohmann::json::parse(discoveryBody());
    auto withoutRegion = body;
    withoutRegion.erase("region");
    auto numericInitials = body;
    numericInitials["initials"] = 7;
    auto badURL = body;
    badURL["kavoBaseUrl"] = "not a url";
    auto relativeURL = body;
    relativeURL["kavoBaseUrl"] = "/t/contoso";
    for (const auto& text : {withoutRegion.dump(), numericInitials.dump(), badURL.dump(), relativeURL.dump(),
                             std::string("[]"), std::string("<html>")}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(failure(200, text).kind(), TenantDiscoveryError::Kind::invalidResponse);
    }
    EXPECT_STREQ(TenantDiscoveryError::invalidResponse().what(),
                 "The discovery service returned something this app could not read.");
}

TEST_F(Discovery, StatusCodesMapOntoTheirCasesAndLogAsTheyShould) {
    LogCapture logs;
    const auto notFound = failure(404);
    EXPECT_EQ(notFound.kind(), TenantDiscoveryError::Kind::notProvisioned);
    EXPECT_STREQ(notFound.what(),
                 "Your organisation isn't provisioned for Meetings yet. Contact your IT administrator.");
    EXPECT_TRUE(logs.contains("TenantDiscovery", std::string("Tenant not provisioned: tid=") + kTid));

    logs.clear();
    const auto malformed = failure(400);
    EXPECT_EQ(malformed.kind(), TenantDiscoveryError::Kind::malformedTid);
    EXPECT_STREQ(malformed.what(), "Malformed tenant ID.");
    EXPECT_TRUE(logs.messages("TenantDiscovery").empty());

    const auto unavailable = failure(503, std::string(250, 'x'));
    EXPECT_EQ(unavailable.kind(), TenantDiscoveryError::Kind::http);
    EXPECT_EQ(unavailable.status(), 503);
    EXPECT_STREQ(unavailable.what(), "Could not reach the discovery service (HTTP 503).");
    EXPECT_EQ(logs.messages("TenantDiscovery"),
              std::vector<std::string>{"Discovery HTTP 503: " + std::string(200, 'x') + "..."});
}

TEST_F(Discovery, ATransportFailureCarriesItsDescription) {
    LogCapture logs;
    const TransportError cause(TransportError::Kind::cannotConnect, 7, "refused");
    transport->enqueueError(cause);
    try {
        service.discover(kTid);
        FAIL() << "discover succeeded";
    } catch (const TenantDiscoveryError& error) {
        EXPECT_EQ(error.kind(), TenantDiscoveryError::Kind::transport);
        EXPECT_EQ(error.description(), std::string("Could not reach the discovery service: ") + cause.what());
    }
    EXPECT_TRUE(logs.contains("TenantDiscovery", std::string("Discovery transport failure for tid=") + kTid +
                                                     ": " + cause.what()));
}

struct Cache : ::testing::Test {
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    ManualClock clock;
    TenantDiscoveryCache cache{defaults, clock};
    Tenant contoso{kTid, "Contoso", "CO", "https://kavo.contoso.test", "westeurope", "active"};
};

TEST_F(Cache, StoresOneEntryUnderItsKeyWithTheDateInReferenceSeconds) {
    clock.setWallTime(fromSecondsSinceReferenceDate(700000000.5));
    cache.store(contoso, "asked-for");

    const auto stored = nlohmann::json::parse(defaults->data("kavo.tenantDiscoveryCache").value());
    EXPECT_EQ(stored.at("tid"), "asked-for");
    EXPECT_DOUBLE_EQ(stored.at("cachedAt").get<double>(), 700000000.5);
    EXPECT_EQ(stored.at("tenant"),
              nlohmann::json::parse(R"({"tenantId":"4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f","clientName":"Contoso",)"
                                    R"("initials":"CO","kavoBaseUrl":"https://kavo.contoso.test",)"
                                    R"("region":"westeurope","status":"active"})"));
    EXPECT_EQ(cache.tenant("asked-for"), contoso);
}

TEST_F(Cache, AnswersOnlyForTheSameTenantIdWhateverTheEntrysAge) {
    cache.store(contoso, kTid);
    clock.advance(seconds(366.0 * 24 * 3600));
    EXPECT_EQ(cache.tenant(kTid), contoso);
    EXPECT_EQ(cache.tenant("9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b"), std::nullopt);
    EXPECT_EQ(cache.tenant(std::string(kTid).substr(1)), std::nullopt);

    auto fabrikam = contoso;
    fabrikam.clientName = "Fabrikam";
    cache.store(fabrikam, "other");
    EXPECT_EQ(cache.tenant(kTid), std::nullopt);
    EXPECT_EQ(cache.tenant("other"), fabrikam);
}

TEST_F(Cache, CorruptDataReadsAsNothingAndIsOverwrittenByTheNextStore) {
    EXPECT_EQ(cache.tenant(kTid), std::nullopt);
    defaults->setData("kavo.tenantDiscoveryCache", R"({"tid":"x","tenant":{"tenantId":1}})");
    EXPECT_EQ(cache.tenant("x"), std::nullopt);
    EXPECT_TRUE(defaults->data("kavo.tenantDiscoveryCache").has_value());
    cache.store(contoso, "x");
    EXPECT_EQ(cache.tenant("x"), contoso);
}

}  // namespace
}  // namespace kavo

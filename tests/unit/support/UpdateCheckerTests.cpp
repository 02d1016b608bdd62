#include <gtest/gtest.h>

#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "net/TransportError.h"
#include "support/RecordingTransport.h"
#include "support/UpdateChecker.h"
#include "support/UpdateManifestError.h"

namespace kavo {
namespace {

using Version = UpdateChecker::Version;

TEST(UpdateVersionParsing, AcceptsOnlyDigitsBetweenSingleFullStops) {
    EXPECT_EQ(UpdateChecker::parseVersion("1.4.10"), (Version{1, 4, 10}));
    EXPECT_EQ(UpdateChecker::parseVersion(" 2\n"), (Version{2}));
    EXPECT_EQ(UpdateChecker::parseVersion("007.0"), (Version{7, 0}));
    EXPECT_EQ(UpdateChecker::parseVersion("9223372036854775807"), (Version{9223372036854775807}));
    for (const char* bad : {"", "  ", "1..2", "1.2.", ".1", "v1.2", "1.2-beta", "+1", "-1", "1. 2",
                            "1.2a", "\u0661.2", "9223372036854775808", "1,2"}) {
        EXPECT_EQ(UpdateChecker::parseVersion(bad), std::nullopt) << bad;
    }
}

TEST(UpdateVersionComparison, PadsWithZerosAndComparesNumerically) {
    EXPECT_TRUE(UpdateChecker::isOlder({1, 4, 2}, {1, 4, 10}));
    EXPECT_TRUE(UpdateChecker::isOlder({1, 9}, {1, 10}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 2}, {1, 2, 0}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 2, 0}, {1, 2}));
    EXPECT_TRUE(UpdateChecker::isOlder({1, 2}, {1, 2, 0, 1}));
    EXPECT_FALSE(UpdateChecker::isOlder({2}, {1, 99}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 4, 10}, {1, 4, 2}));
}

TEST(UpdateDownloadPage, OnlyHttpsInAnyCase) {
    EXPECT_TRUE(UpdateChecker::isUsableDownloadPage("https://downloads.kavo.example/linux"));
    EXPECT_TRUE(UpdateChecker::isUsableDownloadPage("HTTPS://downloads.kavo.example/linux"));
    EXPECT_FALSE(UpdateChecker::isUsableDownloadPage("http://downloads.kavo.example/linux"));
    EXPECT_FALSE(UpdateChecker::isUsableDownloadPage("not a url"));
    EXPECT_FALSE(UpdateChecker::isUsableDownloadPage("downloads.kavo.example/linux"));
    EXPECT_FALSE(UpdateChecker::isUsableDownloadPage(""));
}

class UpdateManifestServiceTest : public ::testing::Test {
protected:
    UpdateManifestError fetchError() {
        try {
            service.fetch();
        } catch (const UpdateManifestError& error) {
            return error;
        }
        ADD_FAILURE() << "fetch did not throw UpdateManifestError";
        return UpdateManifestError::invalidResponse();
    }

    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    UpdateManifestService service{"https://updates.kavo.example/latest.json", transport};
    LogCapture logs;
};

TEST_F(UpdateManifestServiceTest, DecodesTheManifestIgnoringUnknownKeys) {
    transport->enqueue(200, R"({"schemaVersion": 1, "latestVersion": "1.5.0", "extra": [1],
        "downloadPageUrl": "https://downloads.kavo.example/linux", "publishedAt": "2025-01-01T00:00:00Z"})");
    EXPECT_EQ(service.fetch(), (UpdateManifest{1, "1.5.0", "https://downloads.kavo.example/linux",
                                               "2025-01-01T00:00:00Z"}));
    const HTTPRequest request = transport->requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.url, "https://updates.kavo.example/latest.json");
    EXPECT_EQ(request.headers.get("Accept"), "application/json");
    EXPECT_FALSE(request.headers.get("Authorization").has_value());
    EXPECT_EQ(request.timeout, std::chrono::seconds(5));

    transport->enqueue(200,
                       R"({"schemaVersion": null, "latestVersion": "2", "downloadPageUrl": "x"})");
    EXPECT_EQ(service.fetch(), (UpdateManifest{std::nullopt, "2", "x", std::nullopt}));
}

TEST_F(UpdateManifestServiceTest, BadBodiesAndStatusesBecomeManifestErrors) {
    for (const char* body :
         {R"({"downloadPageUrl": "https://x.example"})",
          R"({"latestVersion": 2, "downloadPageUrl": "https://x.example"})",
          R"({"latestVersion": "2", "downloadPageUrl": "https://x", "schemaVersion": "one"})", "[]",
          "<html>", ""}) {
        SCOPED_TRACE(body);
        transport->enqueue(200, body);
        EXPECT_EQ(fetchError(), UpdateManifestError::invalidResponse());
    }
    EXPECT_TRUE(logs.contains("UpdateManifest", "Update manifest did not decode: "));

    transport->enqueue(404, "not found");
    EXPECT_EQ(fetchError(), UpdateManifestError::http(404));
    EXPECT_TRUE(logs.contains("UpdateManifest", "Update manifest HTTP 404"));
    transport->enqueue(304, "");
    EXPECT_EQ(fetchError().status(), 304);

    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    EXPECT_THROW(service.fetch(), TransportError);
}

std::string manifest(const std::string& version,
                     const std::string& page = "https://downloads.kavo.example/linux") {
    return R"({"latestVersion": ")" + version + R"(", "downloadPageUrl": ")" + page + R"("})";
}

class UpdateCheckerTest : public ::testing::Test {
protected:
    std::shared_ptr<UpdateChecker> makeChecker(std::string running,
                                               std::optional<double> interval = 21600) {
        auto checker = UpdateChecker::create(
            service, std::move(running), interval, [this] { return clock.now(); }, scheduler,
            scheduler);
        checker->observe(
            [this](const std::optional<AvailableUpdate>& update) { published.push_back(update); });
        return checker;
    }

    // Runs one check to completion and returns what is offered afterwards.
    std::optional<AvailableUpdate> checkWith(UpdateChecker& checker, std::string body,
                                             int status = 200) {
        clock.advance(seconds(21600));
        transport->enqueue(status, std::move(body));
        checker.checkIfDue();
        scheduler.runUntilIdle();
        return checker.available();
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    UpdateManifestService service{"https://updates.kavo.example/latest.json", transport};
    std::vector<std::optional<AvailableUpdate>> published;
    LogCapture logs;
};

TEST_F(UpdateCheckerTest, AnUnparsableVersionClearsAnEarlierOffer) {
    const auto checker = makeChecker("1.4");
    ASSERT_TRUE(checkWith(*checker, manifest("1.5")).has_value());
    EXPECT_EQ(checkWith(*checker, manifest("1.4.1-beta")), std::nullopt);
    const auto unversioned = makeChecker("");
    EXPECT_EQ(checkWith(*unversioned, manifest("99")), std::nullopt);
}

TEST_F(UpdateCheckerTest, FailedChecksKeepTheOfferAndObserversHearOnlyChanges) {
    const auto checker = makeChecker("1.0");
    checkWith(*checker, manifest("2.0"));
    checkWith(*checker, manifest("2.0"));
    checkWith(*checker, "not found", 404);
    checkWith(*checker, R"({"downloadPageUrl": "https://x.example"})");
    clock.advance(seconds(21600));
    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    checker->checkIfDue();
    scheduler.runUntilIdle();
    EXPECT_EQ(checker->available()->version, "2.0");
    EXPECT_EQ(published.size(), 1u);
    EXPECT_TRUE(logs.contains("UpdateChecker",
                              "Update check failed: The update manifest answered HTTP 404."));
    EXPECT_EQ(transport->requestCount(), 5u);
}

TEST_F(UpdateCheckerTest, ChecksAtStartThenEverySixHoursInSimulatedTime) {
    transport->setResponder([](const HTTPRequest&) {
        return HTTPResponse{200, {}, manifest("0.0.1")};
    });
    const auto checker = makeChecker("1.0");
    const WallTime start = clock.now();
    checker->startChecking();
    scheduler.runUntilIdle();
    EXPECT_EQ(transport->requestCount(), 1u);
    EXPECT_EQ(checker->lastCheckedAt(), start);

    scheduler.advance(seconds(5 * 3600 + 59 * 60));
    checker->checkIfDue();
    scheduler.runUntilIdle();
    EXPECT_EQ(transport->requestCount(), 1u);

    scheduler.advance(seconds(60));
    EXPECT_EQ(transport->requestCount(), 2u);
    EXPECT_EQ(checker->lastCheckedAt(), start + seconds(21600));

    scheduler.advance(seconds(3 * 21600));
    EXPECT_EQ(transport->requestCount(), 5u);

    // A second start replaces the timer rather than adding one.
    checker->startChecking();
    scheduler.advance(seconds(21600));
    EXPECT_EQ(transport->requestCount(), 6u);
}

TEST_F(UpdateCheckerTest, WithoutAnIntervalNothingIsCheckedOrScheduled) {
    const auto checker = makeChecker("1.0", std::nullopt);
    checker->startChecking();
    checker->checkIfDue();
    scheduler.advance(seconds(30 * 21600));
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_FALSE(scheduler.hasPending());
    EXPECT_EQ(checker->lastCheckedAt(), std::nullopt);
}

TEST_F(UpdateCheckerTest, AReleasedCheckerStopsChecking) {
    transport->setResponder([](const HTTPRequest&) {
        return HTTPResponse{200, {}, manifest("2.0")};
    });
    auto checker = makeChecker("1.0");
    checker->startChecking();
    scheduler.runUntilIdle();
    checker.reset();
    scheduler.advance(seconds(3 * 21600));
    EXPECT_EQ(transport->requestCount(), 1u);
}

}  // namespace
}  // namespace kavo

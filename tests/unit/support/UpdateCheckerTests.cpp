#include <gtest/gtest.h>

#include "base/Log.h"
#include "net/TransportError.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/UpdateChecker.h"
#include "support/UpdateManifestError.h"

// Against the dev stack's manifest (tests/e2e/support/SupportDevStackTests.cpp): a newer
// version with an https page is offered, an http page or the same version is not, a 404 or
// an undecodable manifest keeps the last offer. Here parsing, the request and the timer.

namespace kavo {
namespace {

using Version = UpdateChecker::Version;

TEST(UpdateVersion, ParsesDigitsBetweenSingleFullStopsAndComparesPaddedWithZeros) {
    EXPECT_EQ(UpdateChecker::parseVersion("1.4.10"), (Version{1, 4, 10}));
    EXPECT_EQ(UpdateChecker::parseVersion(" 2\n"), (Version{2}));
    EXPECT_EQ(UpdateChecker::parseVersion("007.0"), (Version{7, 0}));
    EXPECT_EQ(UpdateChecker::parseVersion("9223372036854775807"), (Version{9223372036854775807}));
    for (const char* bad : {"", "  ", "1..2", "1.2.", ".1", "v1.2", "1.2-beta", "+1", "-1", "1. 2",
                            "1.2a", "\u0661.2", "9223372036854775808", "1,2"}) {
        EXPECT_EQ(UpdateChecker::parseVersion(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(UpdateChecker::isOlder({1, 9}, {1, 10}));
    EXPECT_TRUE(UpdateChecker::isOlder({1, 2}, {1, 2, 0, 1}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 2}, {1, 2, 0}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 2, 0}, {1, 2}));
    EXPECT_FALSE(UpdateChecker::isOlder({2}, {1, 99}));
    EXPECT_TRUE(UpdateChecker::isUsableDownloadPage("HTTPS://downloads.kavo.example/linux"));
    for (const char* page : {"not a url", "downloads.kavo.example/linux", ""}) {
        EXPECT_FALSE(UpdateChecker::isUsableDownloadPage(page)) << page;
    }
}

class UpdateCheckerTest : public ::testing::Test {
protected:
    std::shared_ptr<UpdateChecker> makeChecker(
        std::string running, std::optional<Duration> interval = std::chrono::hours(6)) {
        auto checker = UpdateChecker::create(
            service, std::move(running), interval, [this] { return clock.now(); }, scheduler,
            scheduler);
        checker->observe([this](const std::optional<AvailableUpdate>&) { ++published; });
        return checker;
    }

    static std::string manifest(const std::string& version) {
        return R"({"latestVersion": ")" + version +
               R"(", "downloadPageUrl": "https://downloads.kavo.example/linux"})";
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
    int published = 0;
    LogCapture logs;
};

TEST_F(UpdateCheckerTest, AnUnparsableVersionClearsAnOfferAndFailuresKeepIt) {
    const auto checker = makeChecker("1.4");
    ASSERT_TRUE(checkWith(*checker, manifest("1.5")).has_value());
    checkWith(*checker, manifest("1.5"));
    clock.advance(seconds(21600));
    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    checker->checkIfDue();
    scheduler.runUntilIdle();
    EXPECT_EQ(checker->available()->version, "1.5");
    EXPECT_EQ(published, 1) << "observers hear only changes";
    EXPECT_EQ(checkWith(*checker, manifest("1.4.1-beta")), std::nullopt);
    EXPECT_EQ(checkWith(*makeChecker(""), manifest("99")), std::nullopt) << "no running version";
}

TEST_F(UpdateCheckerTest, ChecksAtStartThenEverySixHoursInSimulatedTime) {
    transport->setResponder([](const HTTPRequest&) {
        return HTTPResponse{200, {}, manifest("0.0.1")};
    });
    auto checker = makeChecker("1.0");
    const WallTime start = clock.now();
    checker->startChecking();
    scheduler.runUntilIdle();
    EXPECT_EQ(transport->requestCount(), 1u);
    EXPECT_EQ(checker->lastCheckedAt(), start);

    scheduler.advance(seconds(5 * 3600 + 59 * 60));
    checker->checkIfDue();
    scheduler.runUntilIdle();
    EXPECT_EQ(transport->requestCount(), 1u) << "not due yet";
    scheduler.advance(seconds(60));
    EXPECT_EQ(transport->requestCount(), 2u);
    EXPECT_EQ(checker->lastCheckedAt(), start + seconds(21600));
    scheduler.advance(seconds(3 * 21600));
    EXPECT_EQ(transport->requestCount(), 5u);

    // A second start replaces the timer rather than adding one.
    checker->startChecking();
    scheduler.advance(seconds(21600));
    EXPECT_EQ(transport->requestCount(), 6u);
    // A released checker stops checking.
    checker.reset();
    scheduler.advance(seconds(3 * 21600));
    EXPECT_EQ(transport->requestCount(), 6u);

    // Without an interval nothing is checked or scheduled.
    checker = makeChecker("1.0", std::nullopt);
    checker->startChecking();
    checker->checkIfDue();
    scheduler.advance(seconds(30 * 21600));
    EXPECT_EQ(transport->requestCount(), 6u);
    EXPECT_FALSE(scheduler.hasPending());
}

}  // namespace
}  // namespace kavo

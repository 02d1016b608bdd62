#include <gtest/gtest.h>

#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/UpdateChecker.h"
#include "support/UpdateManifestError.h"

// What the manifest offers is followed against the dev stack; here parsing and the timer.

namespace kavo {
namespace {

using Version = UpdateChecker::Version;

TEST(UpdateVersion, ParsesDigitsBetweenSingleFullStopsAndComparesPaddedWithZeros) {
    EXPECT_EQ(UpdateChecker::parseVersion("1.4.10"), (Version{1, 4, 10}));
    EXPECT_EQ(UpdateChecker::parseVersion(" 2\n"), (Version{2}));
    for (const char* bad :
         {"", "1..2", "1.2.", "v1.2", "1.2-beta", "-1", "\u0661.2", "9223372036854775808"}) {
        EXPECT_EQ(UpdateChecker::parseVersion(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(UpdateChecker::isOlder({1, 9}, {1, 10}));
    EXPECT_TRUE(UpdateChecker::isOlder({1, 2}, {1, 2, 0, 1}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 2}, {1, 2, 0}));
    EXPECT_FALSE(UpdateChecker::isOlder({2}, {1, 99}));
}

class UpdateCheckerTest : public ::testing::Test {
protected:
    std::shared_ptr<UpdateChecker> makeChecker(std::string running) {
        return UpdateChecker::create(
            service, std::move(running), std::chrono::hours(6), [this] { return clock.now(); },
            scheduler, scheduler);
    }

    static std::string manifest(const std::string& version) {
        return R"({"latestVersion": ")" + version +
               R"(", "downloadPageUrl": "https://downloads.kavo.example/linux"})";
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    UpdateManifestService service{"https://updates.kavo.example/latest.json", transport};
};

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
    // A second start replaces the timer rather than adding one; a released checker stops.
    checker->startChecking();
    scheduler.advance(seconds(21600));
    EXPECT_EQ(transport->requestCount(), 3u);
    checker.reset();
    scheduler.advance(seconds(3 * 21600));
    EXPECT_EQ(transport->requestCount(), 3u);
}

}  // namespace
}  // namespace kavo

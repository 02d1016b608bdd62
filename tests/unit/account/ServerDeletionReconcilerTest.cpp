#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "AccountTestHelpers.h"
#include "account/ReconcileLedger.h"
#include "account/ReferenceDate.h"
#include "account/ServerDeletionReconciler.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

// The hide/remove after three passes and the /api/me outage are shown against the dev stack
// (tests/e2e/account/ReconcilerAgainstDevStackTest.cpp); here the edge cases and log texts.

namespace kavo {
namespace {

using testing::RecordingTransport;
using Report = ServerDeletionReconciler::Report;
using Action = ServerDeletionReconciler::Action;

constexpr const char* kBase = "https://kavo.test/t/contoso";
constexpr const char* kMe =
    R"({"id":"u","email":"e@x.test","name":"N","is_admin":false,"meetings_access":true})";

// Streaks, hiding and unhiding run through the reconciler's tests below.
TEST(ReconcileLedgerTest, SettlementStaysAndAnotherRecordingIdStartsAfresh) {
    ReconcileLedger ledger(std::make_shared<MemoryDefaults>());
    const auto t0 = fromSecondsSinceReferenceDate(1000);
    const auto t1 = fromSecondsSinceReferenceDate(2000);
    ledger.recordMissing("C1", "R1", t0);
    ledger.recordSeen("C1", "R1", true, t1);
    ledger.recordSeen("C1", "R1", true, t0);
    EXPECT_EQ(ledger.entries().at("C1").settledAt, t1) << "settledAt is never moved";
    EXPECT_EQ(ledger.entries().at("C1").lastSeenAt, t0) << "a 200 leaves lastSeenAt";
    ledger.recordMissing("C1", "R1", t1);
    ASSERT_TRUE(ledger.markHidden("C1", "R1", t1));
    EXPECT_FALSE(ledger.markHidden("C1", "R1", t1)) << "already hidden";
    ledger.resetStreak("C1");
    EXPECT_EQ(ledger.hiddenCaptureIds(), std::set<std::string>{"C1"}) << "still hidden";
    const auto fresh = ledger.recordMissing("C1", "R2", t1);
    EXPECT_EQ(fresh.missingStreak, 1);
    EXPECT_EQ(fresh.settledAt, std::nullopt);
}

TEST(ReconcileLedgerTest, PersistsAsJsonWithReferenceDatesAndDropsGoneCaptures) {
    auto defaults = std::make_shared<MemoryDefaults>();
    ReconcileLedger(defaults).recordSeen("C1", "R1", true, fromSecondsSinceReferenceDate(10));
    ReconcileLedger(defaults).recordMissing("C2", "R2", fromSecondsSinceReferenceDate(20));
    EXPECT_EQ(
        nlohmann::json::parse(defaults->data("kavo.reconcileLedger").value()),
        nlohmann::json::parse(
            R"({"C1":{"recordingId":"R1","missingStreak":0,"lastSeenAt":10.0,"settledAt":10.0},)"
            R"("C2":{"recordingId":"R2","missingStreak":1,"lastSeenAt":20.0}})"));

    ReconcileLedger reopened(defaults);
    reopened.retain({"C2"});
    EXPECT_EQ(reopened.entries().size(), 1u);
    reopened.clear();
    EXPECT_FALSE(defaults->data("kavo.reconcileLedger"));
    defaults->setData("kavo.reconcileLedger", R"({"C1":{"recordingId":5}})");
    EXPECT_TRUE(reopened.entries().empty()) << "undecodable data reads as an empty ledger";
}

// A tenant API that answers /api/me and each recording's status from tables the test sets.
struct Reconciler : ::testing::Test {
    testing::TempDir dir;
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<ReconcileLedger> ledger =
        std::make_shared<ReconcileLedger>(std::make_shared<MemoryDefaults>());
    ManualClock clock;
    std::map<std::string, HTTPResponse> recordings;
    LogCapture logs;

    Reconciler() {
        transport->setResponder([this](const HTTPRequest& request) {
            const std::string prefix = std::string(kBase) + "/api/v1/meetings/recordings/";
            if (request.url == std::string(kBase) + "/api/me") return HTTPResponse{200, {}, kMe};
            return recordings.at(request.url.substr(prefix.size()));
        });
    }

    void answer(const std::string& recordingId, int status,
                const std::string& state = "PROCESSING") {
        recordings[recordingId] = HTTPResponse{
            status,
            {{"Content-Type", "application/json"}},
            status == 200 ? nlohmann::json{{"id", recordingId}, {"state", state}}.dump()
                          : std::string(R"({"error":"x","detail":"y"})")};
    }

    std::filesystem::path capture(const std::string& id, std::optional<std::string> recordingId,
                                  std::string audioName = "", bool withAudio = true) {
        return testing::deliveredCapture(dir.path(), id, std::move(recordingId),
                                         std::move(audioName), withAudio);
    }

    ServerDeletionReconciler reconciler() {
        return ServerDeletionReconciler(
            [this] { return sidecarFilesIn(dir.path()); },
            KavoAPIClient(kBase, transport, [](std::stop_token) { return "T"; }), ledger, 3, clock);
    }

    Report pass() {
        clock.advance(seconds(3600));
        return reconciler().run();
    }
};

TEST_F(Reconciler, OnlyWavCapturesWithARecordingIdAreAskedAbout) {
    EXPECT_EQ(pass(), Report{});
    capture("A", std::nullopt);
    capture("B", " \n");
    capture("C", "R-C", "sub/capture-C.wav");
    capture("D", "R-D", "capture-D.mp3");
    capture("E", "R-E", "capture-E");
    std::ofstream(dir / "capture-broken.json") << "{";
    EXPECT_EQ(pass().sidecars, 5);
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_TRUE(
        logs.contains("ServerDeletionReconciler",
                      "Reconcile: 5 sidecar(s), 0 with a recording id; 5 never uploaded and "
                      "never asked about"));

    // An upper-case extension and an id with white space around it make a candidate.
    capture("F", "  R-F\n", "capture-F.WAV");
    answer("R-F", 200, " delivered ");
    const auto report = pass();
    EXPECT_EQ(report.eligible, 1);
    EXPECT_EQ(report.settled, 1);
    EXPECT_EQ(transport->requests().back().url,
              std::string(kBase) + "/api/v1/meetings/recordings/R-F");
}

// Hiding and removing after three misses run against the dev stack; here a settled
// capture whose audio is already gone, and a hidden capture coming back.
TEST_F(Reconciler, AHiddenCaptureIsHiddenOnceAndAnAnswerBringsItBack) {
    capture("A", "R-A");
    capture("C", "R-C", "", false);
    answer("R-A", 200, "UPLOADING");
    answer("R-C", 200, "DELIVERED");
    pass();
    for (const auto* id : {"R-A", "R-C"}) answer(id, 404);
    pass();
    pass();
    const auto third = pass();
    EXPECT_EQ(third.hidden, (std::vector<Action>{{"A", "R-A", 3}}));
    EXPECT_EQ(third.removed, (std::vector<Action>{{"C", "R-C", 3}}));
    EXPECT_FALSE(std::filesystem::exists(dir / "capture-C.json"));
    EXPECT_TRUE(pass().hidden.empty()) << "a capture hidden before is not hidden again";
    answer("R-A", 200, "UPLOADING");
    EXPECT_EQ(pass().alive, 1);
    EXPECT_TRUE(ledger->hiddenCaptureIds().empty());
}

TEST_F(Reconciler, AnyOtherAnswerResetsTheStreakAndQuittingLeavesTheLedgerAlone) {
    capture("A", "R-A");
    answer("R-A", 404);
    pass();
    pass();
    for (const int status : {500, 403}) {
        answer("R-A", status);
        EXPECT_EQ(pass().inconclusive, 1) << status;
    }
    EXPECT_TRUE(
        logs.contains("ServerDeletionReconciler", "Reconcile inconclusive for capture A: "));
    transport->enqueue(200, kMe);
    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    EXPECT_EQ(pass().inconclusive, 1);
    answer("R-A", 404);
    const auto report = pass();
    EXPECT_EQ(report.missing, 1);
    EXPECT_TRUE(report.hidden.empty());
    EXPECT_EQ(ledger->entries().at("A").missingStreak, 1);

    const auto before = ledger->entries();
    std::stop_source quitting;
    transport->setResponder([&](const HTTPRequest& request) -> HTTPResponse {
        if (request.url.ends_with("/api/me")) return {200, {}, kMe};
        quitting.request_stop();
        throw TransportError(TransportError::Kind::cancelled);
    });
    EXPECT_EQ(reconciler().run(quitting.get_token()).inconclusive, 0);
    EXPECT_EQ(ledger->entries(), before);
}

}  // namespace
}  // namespace kavo

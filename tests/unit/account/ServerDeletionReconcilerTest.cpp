#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <nlohmann/json.hpp>

#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "account/ReconcileLedger.h"
#include "account/ReferenceDate.h"
#include "account/ServerDeletionReconciler.h"
#include "base/ManualClock.h"

namespace kavo {
namespace {

using testing::RecordingTransport;
using testing::TempDir;
using Report = ServerDeletionReconciler::Report;
using Action = ServerDeletionReconciler::Action;

constexpr const char* kBase = "https://kavo.test/t/contoso";

Report counted(int sidecars, int eligible = 0, bool abandoned = false) {
    Report report;
    report.sidecars = sidecars;
    report.eligible = eligible;
    report.abandoned = abandoned;
    return report;
}

TEST(ReconcileLedgerTest, TracksStreaksSettlementAndHidingPerRecording) {
    auto defaults = std::make_shared<MemoryDefaults>();
    ReconcileLedger ledger(defaults);
    const auto t0 = fromSecondsSinceReferenceDate(1000);
    const auto t1 = fromSecondsSinceReferenceDate(2000);

    EXPECT_EQ(ledger.recordMissing("C1", "R1", t0).missingStreak, 1);
    ledger.recordSeen("C1", "R1", true, t1);
    auto entry = ledger.entries().at("C1");
    EXPECT_EQ(entry.missingStreak, 0);
    EXPECT_EQ(entry.settledAt, t1);
    EXPECT_EQ(entry.lastSeenAt, t0) << "a 200 leaves lastSeenAt";

    ledger.recordSeen("C1", "R1", true, t0);
    EXPECT_EQ(ledger.entries().at("C1").settledAt, t1) << "settledAt is never moved";

    entry = ledger.recordMissing("C1", "R1", t1);
    EXPECT_EQ(entry.missingStreak, 1);
    EXPECT_EQ(entry.lastSeenAt, t1);
    EXPECT_TRUE(ledger.markHidden("C1", "R1", t1));
    EXPECT_FALSE(ledger.markHidden("C1", "R1", t1)) << "already hidden";
    EXPECT_EQ(ledger.hiddenCaptureIds(), std::set<std::string>{"C1"});

    ledger.resetStreak("C1");
    EXPECT_EQ(ledger.entries().at("C1").missingStreak, 0);
    EXPECT_TRUE(ledger.entries().at("C1").hiddenAt) << "an inconclusive answer keeps the capture hidden";
    ledger.recordSeen("C1", "R1", false, t1);
    EXPECT_TRUE(ledger.hiddenCaptureIds().empty()) << "a 200 unhides";

    entry = ledger.recordMissing("C1", "R2", t1);
    EXPECT_EQ(entry.missingStreak, 1);
    EXPECT_EQ(entry.settledAt, std::nullopt) << "another recording id starts a fresh entry";
}

TEST(ReconcileLedgerTest, PersistsAsJsonWithReferenceDatesAndDropsGoneCaptures) {
    auto defaults = std::make_shared<MemoryDefaults>();
    {
        ReconcileLedger ledger(defaults);
        ledger.recordSeen("C1", "R1", true, fromSecondsSinceReferenceDate(10));
        ledger.recordMissing("C2", "R2", fromSecondsSinceReferenceDate(20));
    }
    const auto stored = nlohmann::json::parse(defaults->data("kavo.reconcileLedger").value());
    EXPECT_EQ(stored, nlohmann::json::parse(R"({"C1":{"recordingId":"R1","missingStreak":0,"lastSeenAt":10.0,)"
                                            R"("settledAt":10.0},"C2":{"recordingId":"R2","missingStreak":1,)"
                                            R"("lastSeenAt":20.0}})"));

    ReconcileLedger reopened(defaults);
    EXPECT_EQ(reopened.entries().size(), 2u);
    reopened.retain({"C2"});
    EXPECT_EQ(reopened.entries().count("C1"), 0u);
    reopened.clear();
    EXPECT_FALSE(defaults->data("kavo.reconcileLedger"));

    defaults->setData("kavo.reconcileLedger", R"({"C1":{"recordingId":5}})");
    EXPECT_TRUE(reopened.entries().empty()) << "undecodable data reads as an empty ledger";
}

// A tenant API that answers /api/me and each recording's status from tables the test sets.
struct Reconciler : ::testing::Test {
    TempDir dir;
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<ReconcileLedger> ledger = std::make_shared<ReconcileLedger>(defaults);
    ManualClock clock;
    int meStatus = 200;
    std::map<std::string, HTTPResponse> recordings;

    Reconciler() {
        transport->setResponder([this](const HTTPRequest& request) {
            const std::string prefix = std::string(kBase) + "/api/v1/meetings/recordings/";
            if (request.url == std::string(kBase) + "/api/me") {
                return HTTPResponse{meStatus, {{"Content-Type", "application/json"}},
                                    R"({"id":"u","email":"e@x.test","name":"N","is_admin":false,"meetings_access":true})"};
            }
            if (request.url.starts_with(prefix)) {
                return recordings.at(request.url.substr(prefix.size()));
            }
            throw TransportError(TransportError::Kind::other, 0, "unexpected " + request.url);
        });
    }

    void answer(const std::string& recordingId, int status, const std::string& state = "PROCESSING") {
        recordings[recordingId] =
            HTTPResponse{status, {{"Content-Type", "application/json"}},
                         status == 200 ? nlohmann::json{{"id", recordingId}, {"state", state}}.dump()
                                       : std::string(R"({"error":"x","detail":"y"})")};
    }

    std::filesystem::path capture(const std::string& captureId, std::optional<std::string> recordingId,
                                  std::string audioName = "", bool withAudio = true) {
        CaptureSidecar sidecar;
        sidecar.captureId = captureId;
        sidecar.audioFileName = audioName.empty() ? "capture-" + captureId + ".wav" : audioName;
        sidecar.startedAt = "2026-01-01T10:00:00.000Z";
        sidecar.recordingId = std::move(recordingId);
        sidecar.uploadState = "delivered";
        const auto url = dir / ("capture-" + captureId + ".json");
        sidecar.write(url);
        if (withAudio) {
            std::ofstream(dir / sidecar.audioFileName) << "RIFF";
        }
        return url;
    }

    Report pass(int threshold = 3) {
        ServerDeletionReconciler reconciler([this] { return sidecarFilesIn(dir.path()); },
                                            KavoAPIClient(kBase, transport, [](std::stop_token) { return "T"; }),
                                            ledger, threshold, clock);
        clock.advance(seconds(3600));
        return reconciler.run();
    }
};

TEST_F(Reconciler, SidecarsWithoutAUsableRecordingIdAreNeverAskedAbout) {
    LogCapture logs;
    EXPECT_EQ(pass(), Report{});
    EXPECT_TRUE(logs.messages("ServerDeletionReconciler").empty());

    capture("A", std::nullopt);
    capture("B", " \n");
    capture("C", "R-C", "sub/capture-C.wav");
    capture("D", "R-D", "capture-D.mp3");
    capture("E", "R-E", "capture-E");
    std::ofstream(dir / "capture-broken.json") << "{";
    EXPECT_EQ(pass(), counted(5));
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_TRUE(logs.contains("ServerDeletionReconciler",
                              "Reconcile: 5 sidecar(s), 0 with a recording id; 5 never uploaded and never asked about"));
}

TEST_F(Reconciler, AnUpperCaseExtensionAndATrimmedIdMakeACandidate) {
    capture("A", "  R-A\n", "capture-A.WAV");
    answer("R-A", 200, " delivered ");
    const auto report = pass();
    EXPECT_EQ(report.eligible, 1);
    EXPECT_EQ(report.settled, 1);
    EXPECT_EQ(transport->requests().back().url, std::string(kBase) + "/api/v1/meetings/recordings/R-A");
}

TEST_F(Reconciler, ACaptureNeverSeenSettledIsHiddenAfterThreeMissesAndItsFilesStay) {
    const auto sidecar = capture("A", "R-A");
    answer("R-A", 404);
    LogCapture logs;
    EXPECT_TRUE(pass().hidden.empty());
    EXPECT_TRUE(pass().hidden.empty());
    const auto third = pass();
    EXPECT_EQ(third.missing, 1);
    EXPECT_EQ(third.hidden, (std::vector<Action>{{"A", "R-A", 3}}));
    EXPECT_TRUE(third.removed.empty());
    EXPECT_EQ(ledger->hiddenCaptureIds(), std::set<std::string>{"A"});
    EXPECT_TRUE(logs.contains("ServerDeletionReconciler",
                              "Dropped capture A (recording R-A, sidecar state DELIVERED) from the menu after 3 "
                              "consecutive 404s. Kavo was never seen holding this recording, so capture-A.wav and "
                              "capture-A.json are KEPT on disk"));
    EXPECT_TRUE(logs.contains("ServerDeletionReconciler",
                              "Reconcile 404 (3/3) for capture A on recording R-A, confirmed-settled=false"));

    logs.clear();
    EXPECT_TRUE(pass().hidden.empty()) << "a capture hidden before is not hidden again";
    EXPECT_FALSE(logs.contains("ServerDeletionReconciler", "Dropped capture"));
    EXPECT_TRUE(std::filesystem::exists(sidecar));
    EXPECT_TRUE(std::filesystem::exists(dir / "capture-A.wav"));

    answer("R-A", 200, "UPLOADING");
    const auto back = pass();
    EXPECT_EQ(back.alive, 1);
    EXPECT_EQ(back.settled, 0);
    EXPECT_TRUE(ledger->hiddenCaptureIds().empty()) << "a 200 brings it back to the menu";
}

TEST_F(Reconciler, ACaptureOnceSeenSettledIsRemovedWithItsFilesAfterThreeMisses) {
    const auto sidecar = capture("A", "R-A");
    capture("B", "R-B");
    answer("R-A", 200, "  processing ");
    answer("R-B", 200, "DELIVERED");
    EXPECT_EQ(pass().settled, 2);
    answer("R-A", 404);
    pass();
    pass();
    ASSERT_TRUE(std::filesystem::exists(sidecar));
    LogCapture logs;
    const auto report = pass();
    EXPECT_EQ(report.removed, (std::vector<Action>{{"A", "R-A", 3}}));
    EXPECT_EQ(report.alive, 1);
    EXPECT_FALSE(std::filesystem::exists(sidecar));
    EXPECT_FALSE(std::filesystem::exists(dir / "capture-A.wav"));
    EXPECT_TRUE(std::filesystem::exists(dir / "capture-B.wav"));
    EXPECT_EQ(ledger->entries().count("A"), 0u);
    EXPECT_TRUE(logs.contains("ServerDeletionReconciler",
                              "Removed capture A (recording R-A, sidecar state DELIVERED) after 3 consecutive 404s "
                              "on an id Kavo was confirmed to hold: deleted capture-A.wav and capture-A.json"));
    EXPECT_TRUE(logs.contains("ServerDeletionReconciler",
                              "Reconcile done: checked=2 alive=1 settled=1 missing=1 inconclusive=0 dropped=0 "
                              "removed=1"));
}

TEST_F(Reconciler, AMissingAudioFileStillLetsTheSidecarGo) {
    const auto sidecar = capture("A", "R-A", "", false);
    answer("R-A", 200, "DELIVERED");
    pass();
    answer("R-A", 404);
    pass();
    pass();
    EXPECT_EQ(pass().removed.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(sidecar));
}

TEST_F(Reconciler, AnyOtherFailureResetsTheStreak) {
    capture("A", "R-A");
    answer("R-A", 404);
    pass();
    pass();
    answer("R-A", 500);
    LogCapture logs;
    EXPECT_EQ(pass().inconclusive, 1);
    EXPECT_TRUE(logs.contains("ServerDeletionReconciler", "Reconcile inconclusive for capture A: "));
    answer("R-A", 403);
    EXPECT_EQ(pass().inconclusive, 1);
    answer("R-A", 404);
    const auto report = pass();
    EXPECT_EQ(report.missing, 1);
    EXPECT_TRUE(report.hidden.empty());
    EXPECT_EQ(ledger->entries().at("A").missingStreak, 1);
}

TEST_F(Reconciler, ATransportFailureIsInconclusiveButQuittingLeavesTheRestUntouched) {
    capture("A", "R-A");
    capture("B", "R-B");
    answer("R-A", 404);
    answer("R-B", 404);
    pass();
    transport->enqueue(200, R"({"id":"u","email":"e","name":"N","is_admin":false,"meetings_access":true})");
    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    const auto timedOut = pass();
    EXPECT_EQ(timedOut.inconclusive, 1);
    EXPECT_EQ(timedOut.missing, 1);
    // The directory's listing order decides which of the two timed out.
    EXPECT_EQ((std::multiset<int>{ledger->entries().at("A").missingStreak, ledger->entries().at("B").missingStreak}),
              (std::multiset<int>{0, 2}));

    answer("R-A", 404);
    pass();
    const auto before = ledger->entries();
    std::stop_source quitting;
    transport->setResponder([&](const HTTPRequest& request) -> HTTPResponse {
        if (request.url.ends_with("/api/me")) {
            return {200, {}, R"({"id":"u","email":"e","name":"N","is_admin":false,"meetings_access":true})"};
        }
        quitting.request_stop();
        throw TransportError(TransportError::Kind::cancelled);
    });
    ServerDeletionReconciler reconciler([this] { return sidecarFilesIn(dir.path()); },
                                        KavoAPIClient(kBase, transport, [](std::stop_token) { return "T"; }),
                                        ledger, 3, clock);
    const auto report = reconciler.run(quitting.get_token());
    EXPECT_EQ(report.inconclusive, 0);
    EXPECT_EQ(ledger->entries(), before);
}

TEST_F(Reconciler, EntriesOfCapturesWhoseSidecarIsGoneAreDropped) {
    const auto sidecar = capture("A", "R-A");
    answer("R-A", 404);
    pass();
    std::filesystem::remove(sidecar);
    pass();
    EXPECT_TRUE(ledger->entries().empty());
}

}  // namespace
}  // namespace kavo

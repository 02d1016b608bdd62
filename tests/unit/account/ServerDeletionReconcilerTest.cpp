#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "account/ReconcileLedger.h"
#include "account/ReferenceDate.h"
#include "account/ServerDeletionReconciler.h"
#include "capture/files/CaptureSidecar.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

// Three misses and an /api/me outage run against the dev stack; here what else counts.

namespace kavo {
namespace {

using testing::RecordingTransport;
using Report = ServerDeletionReconciler::Report;
using Action = ServerDeletionReconciler::Action;

constexpr const char* kBase = "https://kavo.test/t/contoso";
constexpr const char* kMe =
    R"({"id":"u","email":"e@x.test","name":"N","is_admin":false,"meetings_access":true})";

TEST(ReconcileLedgerTest, PersistsItsEntriesAndDropsGoneCaptures) {
    auto defaults = std::make_shared<MemoryDefaults>();
    ReconcileLedger(defaults).recordSeen("C1", "R1", true, fromSecondsSinceReferenceDate(10));
    ReconcileLedger(defaults).recordMissing("C2", "R2", fromSecondsSinceReferenceDate(20));
    ReconcileLedger reopened(defaults);
    reopened.retain({"C2"});
    EXPECT_EQ(reopened.entries().size(), 1u);
    EXPECT_EQ(reopened.entries().at("C2").missingStreak, 1);
    EXPECT_EQ(reopened.recordMissing("C2", "R3", fromSecondsSinceReferenceDate(30)).missingStreak,
              1)
        << "another recording id starts afresh";
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
            {},
            status == 200 ? nlohmann::json{{"id", recordingId}, {"state", state}}.dump()
                          : std::string(R"({"error":"x","detail":"y"})")};
    }

    // A delivered capture: its sidecar (returned) and a stub WAV.
    std::filesystem::path capture(const std::string& id, std::optional<std::string> recordingId,
                                  std::string audioName = "") {
        CaptureSidecar sidecar;
        sidecar.captureId = id;
        sidecar.audioFileName = audioName.empty() ? "capture-" + id + ".wav" : audioName;
        sidecar.startedAt = "2026-01-01T10:00:00.000Z";
        sidecar.recordingId = std::move(recordingId);
        sidecar.uploadState = "delivered";
        const auto url = dir / ("capture-" + id + ".json");
        sidecar.write(url);
        std::ofstream(dir / sidecar.audioFileName) << "RIFF";
        return url;
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
    EXPECT_EQ(transport->requests().size(), 0u);

    // An upper-case extension and an id with white space around it make a candidate.
    capture("F", "  R-F\n", "capture-F.WAV");
    answer("R-F", 200, " delivered ");
    const auto report = pass();
    EXPECT_EQ(report.eligible, 1);
    EXPECT_EQ(report.settled, 1);
    EXPECT_EQ(transport->requests().back().url,
              std::string(kBase) + "/api/v1/meetings/recordings/R-F");
}

// Hiding on the third miss is shown against the dev stack.
TEST_F(Reconciler, AHiddenCaptureIsHiddenOnceAndAnyOtherAnswerResetsTheStreak) {
    capture("A", "R-A");
    answer("R-A", 404);
    for (int i = 0; i < 3; ++i) pass();
    ASSERT_EQ(ledger->hiddenCaptureIds(), std::set<std::string>{"A"});
    EXPECT_TRUE(pass().hidden.empty()) << "a capture hidden before is not hidden again";
    answer("R-A", 200, "UPLOADING");
    EXPECT_EQ(pass().alive, 1);
    EXPECT_TRUE(ledger->hiddenCaptureIds().empty());

    answer("R-A", 404);
    pass();
    pass();
    for (const int status : {500, 403}) {
        answer("R-A", status);
        EXPECT_EQ(pass().inconclusive, 1) << status;
    }
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

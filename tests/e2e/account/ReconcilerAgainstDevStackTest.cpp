#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "account/ReconcileLedger.h"
#include "account/ServerDeletionReconciler.h"
#include "base/Clock.h"
#include "support/StackTest.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using Action = ServerDeletionReconciler::Action;

struct ReconcilerAgainstDevStack : testing::StackTest {
    testing::TempDir captures;
    std::shared_ptr<ReconcileLedger> ledger =
        std::make_shared<ReconcileLedger>(std::make_shared<MemoryDefaults>());
    SystemClock clock;
    KavoAPIClient api{stack_->tenantBaseURL("contoso"), transport_,
                      [](std::stop_token) { return stack_->accessToken(); }};

    // A capture whose upload was announced to the server, with its sidecar and audio.
    std::string uploadedCapture(const std::string& captureId) {
        CaptureSidecar sidecar;
        sidecar.captureId = captureId;
        sidecar.audioFileName = "capture-" + captureId + ".wav";
        sidecar.startedAt = "2026-01-01T10:00:00.000Z";
        sidecar.recordingId =
            api.initUpload({sidecar.audioFileName, "audio/wav", 4096}).recordingId;
        sidecar.uploadState = "uploading";
        sidecar.write(captures / ("capture-" + captureId + ".json"));
        std::ofstream(captures / sidecar.audioFileName) << "RIFF";
        return *sidecar.recordingId;
    }

    ServerDeletionReconciler::Report pass() {
        return ServerDeletionReconciler([this] { return sidecarFilesIn(captures.path()); }, api,
                                        ledger, 3, clock)
            .run();
    }
};

TEST_F(ReconcilerAgainstDevStack, ADeletedRecordingIsHiddenOrRemovedAfterThreePasses) {
    const auto neverSettled = uploadedCapture("A");
    const auto settled = uploadedCapture("B");
    stack_->adminPatch("/recordings/" + settled, {{"state", "DELIVERED"}});
    const auto first = pass();
    EXPECT_EQ(first.alive, 2);
    EXPECT_EQ(first.settled, 1);

    stack_->adminDelete("/recordings/" + neverSettled);
    stack_->adminDelete("/recordings/" + settled);
    EXPECT_EQ(pass().missing, 2);

    stack_->adminPost("/faults", {{"endpoint", "me"}, {"status", 503}});
    const auto before = ledger->entries();
    EXPECT_TRUE(pass().abandoned);
    EXPECT_EQ(ledger->entries(), before) << "an /api/me outage changes nothing";

    EXPECT_TRUE(pass().hidden.empty());
    const auto third = pass();
    EXPECT_EQ(third.hidden, (std::vector<Action>{{"A", neverSettled, 3}}));
    EXPECT_EQ(third.removed, (std::vector<Action>{{"B", settled, 3}}));
    EXPECT_TRUE(std::filesystem::exists(captures / "capture-A.wav"));
    EXPECT_TRUE(std::filesystem::exists(captures / "capture-A.json"));
    EXPECT_FALSE(std::filesystem::exists(captures / "capture-B.wav"));
    EXPECT_FALSE(std::filesystem::exists(captures / "capture-B.json"));
    EXPECT_EQ(ledger->hiddenCaptureIds(), std::set<std::string>{"A"});
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "account/ReconcileLedger.h"
#include "account/ServerDeletionReconciler.h"
#include "base/Clock.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using testing::DevStack;
using testing::TempDir;

struct ReconcilerAgainstDevStack : ::testing::Test {
    linux_platform::CurlGlobal curl;
    std::shared_ptr<HTTPTransport> transport = std::make_shared<linux_platform::CurlTransport>(curl);
    DevStack stack{transport};
    TempDir captures;
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<ReconcileLedger> ledger = std::make_shared<ReconcileLedger>(defaults);
    SystemClock clock;
    KavoAPIClient api{stack.tenantBaseURL("contoso"), transport,
                      [token = stack.accessToken()](std::stop_token) { return token; }};

    // A capture whose upload was announced to the server, with its sidecar and audio.
    std::string uploadedCapture(const std::string& captureId) {
        const auto audioName = "capture-" + captureId + ".wav";
        const auto init = api.initUpload({audioName, "audio/wav", 4096});
        CaptureSidecar sidecar;
        sidecar.captureId = captureId;
        sidecar.audioFileName = audioName;
        sidecar.startedAt = "2026-01-01T10:00:00.000Z";
        sidecar.recordingId = init.recordingId;
        sidecar.uploadState = "uploading";
        sidecar.write(captures / ("capture-" + captureId + ".json"));
        std::ofstream(captures / audioName) << "RIFF";
        return init.recordingId;
    }

    ServerDeletionReconciler::Report pass() {
        return ServerDeletionReconciler([this] { return sidecarFilesIn(captures.path()); }, api, ledger, 3, clock)
            .run();
    }
};

TEST_F(ReconcilerAgainstDevStack, ADeletedRecordingIsHiddenOrRemovedAfterThreePasses) {
    const auto neverSettled = uploadedCapture("A");
    const auto settled = uploadedCapture("B");
    stack.adminPatch("/recordings/" + settled, {{"state", "DELIVERED"}});

    auto first = pass();
    EXPECT_EQ(first.alive, 2);
    EXPECT_EQ(first.settled, 1);

    stack.adminDelete("/recordings/" + neverSettled);
    stack.adminDelete("/recordings/" + settled);
    EXPECT_EQ(pass().missing, 2);

    stack.adminPost("/faults", {{"endpoint", "me"}, {"status", 503}});
    const auto before = ledger->entries();
    EXPECT_TRUE(pass().abandoned);
    EXPECT_EQ(ledger->entries(), before) << "an /api/me outage changes nothing";

    EXPECT_TRUE(pass().hidden.empty());
    const auto third = pass();
    EXPECT_EQ(third.hidden, (std::vector<ServerDeletionReconciler::Action>{{"A", neverSettled, 3}}));
    EXPECT_EQ(third.removed, (std::vector<ServerDeletionReconciler::Action>{{"B", settled, 3}}));
    EXPECT_TRUE(std::filesystem::exists(captures / "capture-A.wav"));
    EXPECT_TRUE(std::filesystem::exists(captures / "capture-A.json"));
    EXPECT_FALSE(std::filesystem::exists(captures / "capture-B.wav"));
    EXPECT_FALSE(std::filesystem::exists(captures / "capture-B.json"));
    EXPECT_EQ(ledger->hiddenCaptureIds(), std::set<std::string>{"A"});
}

}  // namespace
}  // namespace kavo

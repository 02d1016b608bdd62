#include "account/SessionController.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

#include "account/AuthError.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Phase = SessionController::Phase;
using testing::RecordingTransport;
using testing::TempDir;

constexpr const char* kTid = "4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f";

class FakeAuthService final : public AuthService {
public:
    AppSession signIn(std::stop_token) override {
        std::lock_guard guard(lock_);
        if (signInError_) {
            std::rethrow_exception(signInError_);
        }
        return session_;
    }
    std::optional<AppSession> silentSignIn(std::stop_token) override {
        std::lock_guard guard(lock_);
        return cached_ ? std::optional(session_) : std::nullopt;
    }
    void signOut() override {
        std::lock_guard guard(lock_);
        cached_ = false;
        ++signOuts_;
    }
    std::string kavoToken(std::stop_token) override { return "kavo-token"; }

    void setCachedAccount(bool cached) {
        std::lock_guard guard(lock_);
        cached_ = cached;
    }
    void failSignIn(std::exception_ptr error) {
        std::lock_guard guard(lock_);
        signInError_ = std::move(error);
    }
    int signOuts() const {
        std::lock_guard guard(lock_);
        return signOuts_;
    }
    const AppSession& session() const { return session_; }

private:
    mutable std::mutex lock_;
    AppSession session_{kTid, "u-1", "avery.quinn@contoso.test", "Avery Quinn", "Avery", "id", "graph", "kavo",
                        WallTime{}};
    bool cached_ = false;
    std::exception_ptr signInError_;
    int signOuts_ = 0;
};

Tenant contoso(std::string baseURL = "https://kavo.contoso.test/t/contoso") {
    return {kTid, "Contoso Meetings Lab", "CM", std::move(baseURL), "westeurope", "active"};
}

// A worker whose tasks the test runs one by one, to order answers as it needs.
class StepScheduler final : public Scheduler {
public:
    void post(Task task) override { tasks_.push_back(std::move(task)); }
    void sync(const Task& task) override { task(); }
    TimerHandle after(Duration, Task) override { return {}; }
    TimerHandle every(Duration, Duration, Task) override { return {}; }
    bool isCurrent() const override { return true; }

    std::size_t pending() const { return tasks_.size(); }
    void runNewest() {
        auto task = std::move(tasks_.back());
        tasks_.pop_back();
        task();
    }
    void runAll() {
        while (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            task();
        }
    }

private:
    std::deque<Task> tasks_;
};

class SessionControllerTest : public ::testing::Test {
protected:
    SessionControllerTest() {
        router->setResponder([this](const HTTPRequest&) -> HTTPResponse {
            std::lock_guard guard(answers);
            if (routerStatus != 200) {
                return {routerStatus, {}, "{}"};
            }
            return {200, {}, routerTenant.toJson().dump()};
        });
        api->setResponder([this](const HTTPRequest& request) -> HTTPResponse {
            std::lock_guard guard(answers);
            if (request.url.ends_with("/api/me")) {
                if (meStatus != 200) {
                    return {meStatus, {}, R"({"error":"forbidden"})"};
                }
                return {200, {}, nlohmann::json{{"id", "u-1"}, {"email", "avery.quinn@contoso.test"},
                                                {"name", "Avery Quinn"}, {"is_admin", false},
                                                {"meetings_access", meetingsAccess}}
                                     .dump()};
            }
            if (request.url.starts_with("https://blob.test/")) {
                return {201, {}, ""};
            }
            if (request.url.ends_with("/api/v1/meetings/uploads/init")) {
                return {200, {}, R"({"recording_id":"rec-9","upload_url":"https://blob.test/c/rec-9.wav?sig=s",)"
                                 R"("blob_path":"recordings/rec-9.wav"})"};
            }
            if (request.url.ends_with("/api/v1/meetings/uploads/finalize")) {
                return {200, {}, R"({"recording_id":"rec-9","state":"DELIVERED"})"};
            }
            if (request.url.ends_with("/api/feedback")) {
                feedback.push_back(nlohmann::json::parse(request.body));
                return {201, {}, R"({"id":"T-42","status":"open"})"};
            }
            if (request.url.ends_with("/api/branding")) {
                return {brandingStatus, {}, R"({"app_name":"Contoso Meetings"})"};
            }
            return {404, {}, R"({"error":"not_found"})"};
        });
        controller = makeController(3600s);
    }

    ~SessionControllerTest() override { queue->waitUntilIdle(); }

    std::shared_ptr<SessionController> makeController(std::optional<Duration> interval,
                                                      Scheduler* worker = nullptr) {
        SessionController::Collaborators c;
        c.auth = auth;
        c.discovery = std::make_shared<TenantDiscoveryService>("https://router.test/discover", router);
        c.cache = cache;
        c.cacheDefaults = defaults;
        c.transport = api;
        c.stagedBlockStore = std::make_shared<FileStagedBlockStore>(dir.path() / "staged.json");
        c.recentCaptureStore = std::make_shared<RecentCaptureStore>(dir.path());
        c.ledger = ledger;
        c.queue = queue;
        c.clock = &clock;
        c.main = &main;
        c.worker = worker ? worker : &main;
        c.reconcileInterval = interval;
        c.uploadTiming.stallWatchdogInterval = std::nullopt;
        c.timeZone = "Europe/Berlin";
        auto made = SessionController::create(std::move(c));
        made->observe([this](SessionController::Property property) {
            if (property == SessionController::Property::phase) {
                phases.push_back(controller->phase().kind());
            }
        });
        return made;
    }

    std::size_t requestsTo(const RecordingTransport& transport, std::string_view suffix) const {
        std::size_t count = 0;
        for (const auto& request : transport.requests()) {
            count += request.url.ends_with(suffix) ? 1 : 0;
        }
        return count;
    }

    void signInSilently() {
        auth->setCachedAccount(true);
        controller->bootstrap();
        main.runUntilIdle();
        ASSERT_EQ(controller->phase(), Phase::signedIn(auth->session(), contoso()));
    }

    // A delivered capture whose recording the server no longer has (it answers 404).
    void deliveredCapture(const std::string& captureId, const std::string& recordingId) {
        CaptureSidecar sidecar;
        sidecar.captureId = captureId;
        sidecar.audioFileName = "capture-" + captureId + ".wav";
        sidecar.startedAt = "2026-01-01T10:00:00.000Z";
        sidecar.recordingId = recordingId;
        sidecar.uploadState = "delivered";
        sidecar.write(dir.path() / ("capture-" + captureId + ".json"));
        std::ofstream(dir.path() / sidecar.audioFileName) << "RIFF";
    }

    // Runs what the step worker holds, then what it posted to the main scheduler, twice:
    // once for the first round of work and once for what that round queued.
    void drain(StepScheduler& worker) {
        for (int round = 0; round < 2; ++round) {
            worker.runAll();
            main.runUntilIdle();
        }
    }

    // Lets the queue finish, then the main scheduler take what it posted.
    void settle() {
        queue->waitUntilIdle();
        main.runUntilIdle();
    }

    TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    LogCapture logs;
    std::shared_ptr<FakeAuthService> auth = std::make_shared<FakeAuthService>();
    std::shared_ptr<RecordingTransport> router = std::make_shared<RecordingTransport>();
    std::shared_ptr<RecordingTransport> api = std::make_shared<RecordingTransport>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<TenantDiscoveryCache> cache = std::make_shared<TenantDiscoveryCache>(defaults, clock);
    std::shared_ptr<ReconcileLedger> ledger = std::make_shared<ReconcileLedger>(defaults);
    std::shared_ptr<UploadQueue> queue = std::make_shared<UploadQueue>();

    std::mutex answers;
    int routerStatus = 200;
    Tenant routerTenant = contoso();
    int meStatus = 200;
    bool meetingsAccess = true;
    int brandingStatus = 200;

    std::vector<nlohmann::json> feedback;
    std::vector<Phase::Kind> phases;
    std::shared_ptr<SessionController> controller;
};

TEST_F(SessionControllerTest, LaunchWithoutAccountShowsCachedBrandingThenSignedOut) {
    cache->store(contoso(), kTid);
    controller->bootstrap();
    main.runUntilIdle();

    EXPECT_EQ(controller->phase(), Phase::signedOut());
    ASSERT_TRUE(controller->branding());
    EXPECT_EQ(controller->branding()->appName, "Contoso Meetings");
    EXPECT_EQ(router->requestCount(), 0u);
    EXPECT_EQ(requestsTo(*api, "/api/me"), 0u);
}

TEST_F(SessionControllerTest, CachedTenantIsUsedAndARouterChangeReplacesItMidSession) {
    StepScheduler worker;
    controller = makeController(3600s, &worker);
    const auto cached = contoso("https://old.contoso.test");
    const auto fresh = contoso("https://new.contoso.test");
    cache->store(cached, kTid);
    routerTenant = fresh;
    auth->setCachedAccount(true);
    controller->bootstrap();
    worker.runAll();  // cached branding
    main.runUntilIdle();
    worker.runAll();  // silent sign-in
    main.runUntilIdle();
    // The router is slower than the current-user check: the phase does not wait for it.
    ASSERT_EQ(worker.pending(), 2u);
    worker.runNewest();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session(), cached));
    worker.runAll();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session(), fresh));
    EXPECT_EQ(cache->tenant(kTid), fresh);
    EXPECT_TRUE(logs.contains("SessionController", "Tenant record updated mid-session: Contoso Meetings Lab"));
    EXPECT_EQ(api->requests().front().url, "https://old.contoso.test/api/branding");

    // An equal record, or a router failure, leaves the phase alone.
    phases.clear();
    controller->signOut();
    cache->store(fresh, kTid);
    controller->signIn();
    drain(worker);
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session(), fresh));
    routerStatus = 500;
    controller->signOut();
    cache->store(fresh, kTid);
    controller->signIn();
    drain(worker);
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session(), fresh));
    EXPECT_EQ(cache->tenant(kTid), fresh);
}

TEST_F(SessionControllerTest, CurrentUserDecidesAccessButOnlyAnExplicitNoBlocks) {
    meetingsAccess = false;
    auth->setCachedAccount(true);
    controller->bootstrap();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::notEntitled(auth->session()));
    EXPECT_TRUE(logs.contains("SessionController", "Meetings access denied for avery.quinn@contoso.test"));
    // No timer runs for a user without access.
    const auto meCalls = requestsTo(*api, "/api/me");
    main.advance(7200s);
    settle();
    EXPECT_EQ(requestsTo(*api, "/api/me"), meCalls);

    // A refused or failing check lets the user in.
    meetingsAccess = true;
    meStatus = 403;
    controller->signOut();
    controller->signIn();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session(), contoso()));
    EXPECT_TRUE(logs.contains("SessionController", "/api/me check failed: "));
}

// The dev stack shows an unprovisioned tenant and "Try Again" after an outage; here, that
// "Try Again" does nothing in any other phase and a refused tenant is not cached.
TEST_F(SessionControllerTest, AnUnregisteredTenantIsNotCachedAndTryAgainDoesNothingThere) {
    routerStatus = 404;
    auth->setCachedAccount(true);
    controller->bootstrap();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::tenantNotRegistered(auth->session()));
    EXPECT_TRUE(logs.contains("SessionController", std::string("Tenant not provisioned: ") + kTid));
    EXPECT_FALSE(cache->entry());

    routerStatus = 200;
    controller->retryDiscovery();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase().kind(), Phase::Kind::tenantNotRegistered);
}

TEST_F(SessionControllerTest, FailedSignInShowsItsTextButCancellingDoesNot) {
    auth->failSignIn(std::make_exception_ptr(AuthError::cancelled()));
    controller->signIn();
    EXPECT_EQ(controller->phase(), Phase::signingIn());
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_FALSE(controller->signInError());

    const auto failure = AuthError::underlying("The identity platform is unreachable.");
    auth->failSignIn(std::make_exception_ptr(failure));
    controller->signIn();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_EQ(controller->signInError(), failure.description());
    EXPECT_TRUE(logs.contains("SessionController", "Sign-in failed: " + failure.description()));

    // The next attempt starts with the text cleared.
    auth->failSignIn(nullptr);
    controller->signIn();
    EXPECT_FALSE(controller->signInError());
    main.runUntilIdle();
    EXPECT_EQ(controller->phase().kind(), Phase::Kind::signedIn);
}

TEST_F(SessionControllerTest, SignOutClearsAccountTenantLedgerAndTimer) {
    signInSilently();
    ledger->recordMissing("capture-1", "rec-1", clock.now());
    controller->signOut();
    main.runUntilIdle();

    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_FALSE(controller->branding());
    EXPECT_EQ(controller->upload(), UploadStatus::idle());
    EXPECT_EQ(auth->signOuts(), 1);
    EXPECT_FALSE(defaults->data(TenantDiscoveryCache::kDefaultsKey));
    EXPECT_FALSE(defaults->data(ReconcileLedger::kDefaultsKey));

    const auto meCalls = requestsTo(*api, "/api/me");
    main.advance(7200s);
    settle();
    EXPECT_EQ(requestsTo(*api, "/api/me"), meCalls);
}

TEST_F(SessionControllerTest, AnswersArrivingAfterSignOutChangeNothing) {
    StepScheduler worker;
    controller = makeController(3600s, &worker);
    auth->setCachedAccount(true);
    controller->bootstrap();
    worker.runAll();
    main.runUntilIdle();
    ASSERT_EQ(worker.pending(), 1u) << "discovery is under way";
    controller->signOut();
    worker.runAll();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_FALSE(cache->entry()) << "a late router answer must not bring the tenant back";
    EXPECT_EQ(requestsTo(*api, "/api/me"), 0u);
}

TEST_F(SessionControllerTest, CaptureFinishedWhileSignedOutStaysOnDisk) {
    const auto artifacts = CaptureArtifacts::forCapture(dir.path(), "capture-2026-12-06T05-00-00Z");
    std::ofstream(artifacts.audioURL) << "RIFF";
    std::ofstream(artifacts.sidecarURL) << "{}";

    controller->bootstrap();
    main.runUntilIdle();
    ASSERT_EQ(controller->phase(), Phase::signedOut());
    controller->captureFinished(artifacts);
    settle();

    EXPECT_EQ(controller->upload(), UploadStatus::failed("Sign in to upload this meeting."));
    EXPECT_TRUE(logs.contains("SessionController", "Capture finished while signed out; leaving it on disk"));
    EXPECT_TRUE(std::filesystem::exists(artifacts.audioURL));
    EXPECT_TRUE(std::filesystem::exists(artifacts.sidecarURL));
    EXPECT_EQ(api->requestCount(), 0u);
}

TEST_F(SessionControllerTest, ProblemReportsGoToTheTenantAndOfferTheNewestVisibleCapture) {
    deliveredCapture("C1", "rec-1");
    deliveredCapture("C2", "rec-2");
    CaptureSidecar newer = CaptureSidecar::read(dir.path() / "capture-C2.json");
    newer.startedAt = "2026-02-01T10:00:00.000Z";
    newer.write(dir.path() / "capture-C2.json");
    ledger->recordMissing("C2", "rec-2", clock.now());
    ASSERT_TRUE(ledger->markHidden("C2", "rec-2", clock.now()));

    signInSilently();
    ASSERT_EQ(controller->recentCaptures().size(), 1u);
    EXPECT_EQ(controller->recentCaptures().front().captureId, "C1");
    auto form = controller->makeProblemReportForm(contoso());
    ASSERT_TRUE(form->capture());
    EXPECT_EQ(form->capture()->sidecar.captureId, "C1") << "the hidden capture is never offered";

    form->setSubject("Recording stopped");
    form->setProblemDescription("The recording stopped after ten minutes.");
    form->submit();
    main.runUntilIdle();
    EXPECT_EQ(form->phase(), ProblemReportForm::Phase::sent("T-42"));
    std::lock_guard guard(answers);
    ASSERT_EQ(feedback.size(), 1u);
    EXPECT_EQ(feedback[0]["diagnostics"]["tenant"]["clientName"], "Contoso Meetings Lab");
    EXPECT_EQ(feedback[0]["diagnostics"]["tenant"]["host"], "kavo.contoso.test");
    EXPECT_EQ(feedback[0]["diagnostics"]["timezone"], "Europe/Berlin");
}

TEST_F(SessionControllerTest, ReconcileTimerRunsAPassEachHourAndSkipsDuringCapture) {
    deliveredCapture("C1", "rec-1");
    signInSilently();
    ASSERT_EQ(controller->recentCaptures().size(), 1u);
    const auto passes = [this] { return requestsTo(*api, "/recordings/rec-1"); };

    main.advance(3599s);
    settle();
    EXPECT_EQ(passes(), 0u);
    main.advance(1s);
    settle();
    EXPECT_EQ(passes(), 1u);
    main.advance(3600s);
    settle();
    EXPECT_EQ(passes(), 2u);

    bool capturing = true;
    controller->setIsCapturing([&capturing] { return capturing; });
    main.advance(3600s);
    settle();
    EXPECT_EQ(passes(), 2u);
    EXPECT_TRUE(logs.contains("SessionController", "Reconcile skipped: a capture is running"));
    ASSERT_EQ(controller->recentCaptures().size(), 1u);

    // The third miss hides the capture; the list follows once the pass is done.
    capturing = false;
    main.advance(3600s);
    settle();
    EXPECT_EQ(passes(), 3u);
    EXPECT_TRUE(controller->recentCaptures().empty());
    EXPECT_EQ(ledger->hiddenCaptureIds(), std::set<std::string>{"C1"});
}

TEST_F(SessionControllerTest, ReconcileNowReportsThePassAndNothingWhenSignedOut) {
    std::optional<SessionController::Report> report;
    controller->reconcileNow([&report](SessionController::Report r) { report = std::move(r); });
    ASSERT_TRUE(report);
    EXPECT_EQ(*report, SessionController::Report{});

    deliveredCapture("C1", "rec-1");
    signInSilently();
    report.reset();
    controller->reconcileNow([&report](SessionController::Report r) { report = std::move(r); });
    EXPECT_FALSE(report) << "the pass runs on the upload queue";
    settle();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->eligible, 1);
    EXPECT_EQ(report->missing, 1);

    meStatus = 503;
    report.reset();
    controller->reconcileNow([&report](SessionController::Report r) { report = std::move(r); });
    settle();
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->abandoned);
    EXPECT_EQ(report->missing, 0);
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <deque>

#include "account/AuthError.h"
#include "account/SessionController.h"
#include "base/Defaults.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

// Bootstrap, entitlement and discovery outcomes run against the dev stack; here the orders
// of answers a real server cannot be made to give.

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Phase = SessionController::Phase;
using testing::RecordingTransport;

constexpr const char* kTid = "4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f";

// Signs in the account it holds; every call comes from the test's own thread.
struct FakeAuthService final : AuthService {
    AppSession signIn(std::stop_token) override {
        if (signInError) std::rethrow_exception(signInError);
        return session;
    }
    std::optional<AppSession> silentSignIn(std::stop_token) override {
        return cached ? std::optional(session) : std::nullopt;
    }
    void signOut() override {
        cached = false;
        ++signOuts;
    }
    std::string kavoToken(std::stop_token) override { return "kavo-token"; }

    AppSession session{kTid,          "u-1",   "avery.quinn@contoso.test",
                       "Avery Quinn", "Avery", "id",
                       "graph",       "kavo",  WallTime{}};
    bool cached = false;
    std::exception_ptr signInError;
    int signOuts = 0;
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
            return HTTPResponse{200, {}, routerTenant.toJson().dump()};
        });
        api->setResponder([](const HTTPRequest& request) -> HTTPResponse {
            if (request.url.ends_with("/api/me")) {
                return {200,
                        {},
                        R"({"id":"u-1","email":"a@contoso.test","name":"A","is_admin":false,)"
                        R"("meetings_access":true})"};
            }
            if (request.url.ends_with("/api/branding"))
                return {200, {}, R"({"app_name":"Contoso Meetings"})"};
            return {404, {}, R"({"error":"not_found"})"};
        });
        controller = makeController();
    }

    std::shared_ptr<SessionController> makeController(Scheduler* worker = nullptr) {
        SessionController::Collaborators c;
        c.auth = auth;
        c.discovery =
            std::make_shared<TenantDiscoveryService>("https://router.test/discover", router);
        c.cache = cache;
        c.cacheDefaults = defaults;
        c.transport = api;
        c.recentCaptureStore = std::make_shared<RecentCaptureStore>(dir.path());
        c.ledger = ledger;
        c.clock = &clock;
        c.main = &main;
        c.worker = worker ? worker : &main;
        return SessionController::create(std::move(c));
    }

    // Runs the step worker's tasks and what they post to the main scheduler, for two rounds.
    void drain(StepScheduler& worker) {
        for (int round = 0; round < 2; ++round) {
            worker.runAll();
            main.runUntilIdle();
        }
    }

    testing::TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    std::shared_ptr<FakeAuthService> auth = std::make_shared<FakeAuthService>();
    std::shared_ptr<RecordingTransport> router = std::make_shared<RecordingTransport>();
    std::shared_ptr<RecordingTransport> api = std::make_shared<RecordingTransport>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<TenantDiscoveryCache> cache =
        std::make_shared<TenantDiscoveryCache>(defaults, clock);
    std::shared_ptr<ReconcileLedger> ledger = std::make_shared<ReconcileLedger>(defaults);

    Tenant routerTenant = contoso();
    std::shared_ptr<SessionController> controller;
};

TEST_F(SessionControllerTest, CachedTenantIsUsedAndARouterChangeReplacesItMidSession) {
    StepScheduler worker;
    controller = makeController(&worker);
    const auto cached = contoso("https://old.contoso.test");
    const auto fresh = contoso("https://new.contoso.test");
    cache->store(cached, kTid);
    routerTenant = fresh;
    auth->cached = true;
    controller->bootstrap();
    drain(worker);  // cached branding, then silent sign-in
    // The router is slower than the current-user check: the phase does not wait for it.
    ASSERT_EQ(worker.pending(), 2u);
    worker.runNewest();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session, cached));
    worker.runAll();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedIn(auth->session, fresh));
    EXPECT_EQ(cache->tenant(kTid), fresh);
    EXPECT_EQ(api->requests().front().url, "https://old.contoso.test/api/branding");
}

TEST_F(SessionControllerTest, AFailedSignInEndsSignedOutWithItsTextAndCancellingWithout) {
    auth->signInError = std::make_exception_ptr(AuthError::cancelled());
    controller->signIn();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_FALSE(controller->signInError());
    const auto failure = AuthError::underlying("The identity platform is unreachable.");
    auth->signInError = std::make_exception_ptr(failure);
    controller->signIn();
    main.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_EQ(controller->signInError(), failure.description());
}

TEST_F(SessionControllerTest, SignOutClearsAccountTenantAndLedger) {
    auth->cached = true;
    controller->bootstrap();
    main.runUntilIdle();
    ASSERT_EQ(controller->phase(), Phase::signedIn(auth->session, contoso()));
    ledger->recordMissing("capture-1", "rec-1", clock.now());
    controller->signOut();
    main.runUntilIdle();

    EXPECT_EQ(controller->phase(), Phase::signedOut());
    EXPECT_FALSE(controller->branding());
    EXPECT_EQ(auth->signOuts, 1);
    EXPECT_FALSE(defaults->data(TenantDiscoveryCache::kDefaultsKey));
    EXPECT_FALSE(defaults->data(ReconcileLedger::kDefaultsKey));
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <memory>

#include "account/SessionController.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Phase = SessionController::Phase;
using testing::DevStack;
using testing::TempDir;

// Stands in for the identity platform: the dev stack's default user is signed in, and
// its tokens come from the stack's admin side.
class StackAccount final : public AuthService {
public:
    StackAccount(AppSession session, const DevStack& stack) : session_(std::move(session)), stack_(stack) {}
    AppSession signIn(std::stop_token) override { return session_; }
    std::optional<AppSession> silentSignIn(std::stop_token) override { return session_; }
    void signOut() override {}
    std::string kavoToken(std::stop_token) override { return stack_.accessToken(session_.email); }

private:
    AppSession session_;
    const DevStack& stack_;
};

class SessionAgainstDevStack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        curl_ = new linux_platform::CurlGlobal();
        transport_ = std::make_shared<linux_platform::CurlTransport>(*curl_);
        stack_ = new DevStack(transport_);
    }
    static void TearDownTestSuite() {
        delete stack_;
        transport_.reset();
        delete curl_;
    }

    void SetUp() override {
        stack_->adminPost("/reset", nlohmann::json::object());
        const auto& user = stack_->endpoints().at("defaultUser");
        session_.tenantId = user.at("tenantId");
        session_.email = user.at("email");
        session_.givenName = user.value("givenName", "");

        SessionController::Collaborators c;
        c.auth = std::make_shared<StackAccount>(session_, *stack_);
        c.discovery = std::make_shared<TenantDiscoveryService>(stack_->endpoints().at("discoveryURL"), transport_);
        c.cache = std::make_shared<TenantDiscoveryCache>(defaults_, clock_);
        c.cacheDefaults = defaults_;
        c.transport = transport_;
        c.stagedBlockStore = std::make_shared<FileStagedBlockStore>(dir_.path() / "staged.json");
        c.recentCaptureStore = std::make_shared<RecentCaptureStore>(dir_.path());
        c.ledger = std::make_shared<ReconcileLedger>(defaults_);
        c.queue = queue_;
        c.clock = &clock_;
        c.main = &main_;
        c.worker = &main_;
        c.reconcileInterval = 3600s;
        controller_ = SessionController::create(std::move(c));
    }

    void TearDown() override { queue_->waitUntilIdle(); }

    Phase signedIn() const {
        return Phase::signedIn(session_, controller_->phase().tenant().value_or(Tenant{}));
    }

    static linux_platform::CurlGlobal* curl_;
    static std::shared_ptr<linux_platform::CurlTransport> transport_;
    static DevStack* stack_;

    TempDir dir_;
    ManualClock clock_;
    ManualScheduler main_{clock_};
    LogCapture logs_;
    std::shared_ptr<MemoryDefaults> defaults_ = std::make_shared<MemoryDefaults>();
    std::shared_ptr<UploadQueue> queue_ = std::make_shared<UploadQueue>();
    AppSession session_;
    std::shared_ptr<SessionController> controller_;
};

linux_platform::CurlGlobal* SessionAgainstDevStack::curl_ = nullptr;
std::shared_ptr<linux_platform::CurlTransport> SessionAgainstDevStack::transport_;
DevStack* SessionAgainstDevStack::stack_ = nullptr;

TEST_F(SessionAgainstDevStack, BootstrapDiscoversChecksAccessAndSignsIn) {
    controller_->bootstrap();
    main_.runUntilIdle();

    ASSERT_EQ(controller_->phase().kind(), Phase::Kind::signedIn);
    const auto& tenant = *controller_->phase().tenant();
    EXPECT_EQ(tenant.kavoBaseUrl, stack_->tenantBaseURL("contoso"));
    EXPECT_EQ(tenant.clientName, stack_->tenantClientName("contoso"));
    EXPECT_TRUE(controller_->branding());
    EXPECT_TRUE(logs_.contains("SessionController", "Signed in: tenant=" + tenant.clientName +
                                                        " user=" + session_.givenName));
}

TEST_F(SessionAgainstDevStack, MeetingsAccessSwitchedOffMeansNotEntitled) {
    stack_->adminPatch("/tenants/contoso", {{"meetingsAccess", false}});
    controller_->bootstrap();
    main_.runUntilIdle();
    EXPECT_EQ(controller_->phase(), Phase::notEntitled(session_));
}

TEST_F(SessionAgainstDevStack, TryAgainRecoversOnceDiscoveryWorksAgain) {
    stack_->adminPost("/faults", {{"endpoint", "discover"}, {"status", 503}});
    controller_->bootstrap();
    main_.runUntilIdle();
    ASSERT_EQ(controller_->phase().kind(), Phase::Kind::discoveryUnavailable);
    EXPECT_FALSE(controller_->phase().message().empty());

    stack_->adminDelete("/faults");
    controller_->retryDiscovery();
    main_.runUntilIdle();
    EXPECT_EQ(controller_->phase(), signedIn());
    EXPECT_EQ(controller_->phase().tenant()->kavoBaseUrl, stack_->tenantBaseURL("contoso"));
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "account/AuthError.h"
#include "account/Endpoints.h"
#include "account/TenantDiscoveryError.h"
#include "account/TenantDiscoveryService.h"
#include "base/AtomicFile.h"
#include "base/ManualClock.h"
#include "net/KavoAPIClient.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/OAuthSignInService.h"
#include "support/DevStack.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using linux_platform::OAuthSignInService;
using testing::DevStack;
using testing::TempDir;

// One dev stack for the whole suite; each test resets its switches.
class SignInAgainstDevStack : public ::testing::Test {
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

    void SetUp() override { stack_->adminPost("/reset", nlohmann::json::object()); }

    void TearDown() override {
        for (auto& visit : browserVisits_) {
            if (visit.valid()) {
                visit.wait();
            }
        }
    }

    // As the app reads them: the file the stack wrote, named the way KAVO_ENDPOINTS names it.
    Endpoints endpoints() const {
        return Endpoints::load(stack_->endpoints().at("dataDir").get<std::string>() + "/endpoints.json");
    }
    std::filesystem::path cacheFile() const { return config_ / "kavo-meetings" / "signin-cache.json"; }
    std::string defaultUser(const char* key) const { return stack_->endpoints().at("defaultUser").at(key); }

    // Plays the browser: follows the authorize URL, whose redirect lands on the app's
    // loopback listener, and keeps the page that listener answered.
    linux_platform::OpenURL browser() {
        return [this](const std::string& url) {
            std::lock_guard guard(lock_);
            openedURLs_.push_back(url);
            browserVisits_.push_back(std::async(std::launch::async, [url] {
                HTTPRequest request;
                request.url = url;
                return transport_->data(request);
            }));
            return true;
        };
    }

    OAuthSignInService service(linux_platform::OpenURL openURL, const Clock& clock = systemClock_) {
        OAuthSignInService::Options options;
        options.endpoints = endpoints();
        options.cacheFile = cacheFile();
        options.transport = transport_;
        options.openURL = std::move(openURL);
        options.showDeviceCode = [this](const OAuthSignInService::DeviceCodePrompt& prompt) {
            deviceCodes_.push_back(prompt);
        };
        options.redirectTimeout = std::chrono::seconds(30);
        return OAuthSignInService(std::move(options), clock);
    }

    std::string currentUserEmail(const std::string& token) const {
        const KavoAPIClient api(stack_->tenantBaseURL("contoso"), transport_,
                                [token](std::stop_token) { return token; });
        return api.currentUser().email;
    }

    static unsigned mode(const std::filesystem::path& file) {
        struct stat info {};
        EXPECT_EQ(::stat(file.c_str(), &info), 0);
        return info.st_mode & 0777;
    }

    static inline linux_platform::CurlGlobal* curl_ = nullptr;
    static inline std::shared_ptr<HTTPTransport> transport_;
    static inline DevStack* stack_ = nullptr;
    static inline SystemClock systemClock_;

    TempDir config_;
    std::mutex lock_;
    std::vector<std::string> openedURLs_;
    std::vector<std::future<HTTPResponse>> browserVisits_;
    std::vector<OAuthSignInService::DeviceCodePrompt> deviceCodes_;
};

TEST_F(SignInAgainstDevStack, ABrowserSignInThroughTheLoopbackRedirectYieldsAWorkingSession) {
    LogCapture logs;
    auto auth = service(browser());
    const auto session = auth.signIn();

    EXPECT_EQ(session.tenantId, defaultUser("tenantId"));
    EXPECT_EQ(session.userId, defaultUser("oid"));
    EXPECT_EQ(session.email, "avery.quinn@contoso.test");
    EXPECT_FALSE(session.name.empty());
    EXPECT_FALSE(session.idToken.empty());
    EXPECT_GT(session.expiresAt, std::chrono::system_clock::now() + std::chrono::minutes(50));
    EXPECT_EQ(currentUserEmail(session.kavoAccessToken), "avery.quinn@contoso.test");
    EXPECT_EQ(currentUserEmail(auth.kavoToken()), "avery.quinn@contoso.test");

    ASSERT_EQ(openedURLs_.size(), 1u);
    const auto& url = openedURLs_.front();
    EXPECT_NE(url.find("code_challenge_method=S256"), std::string::npos);
    EXPECT_NE(url.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A"), std::string::npos);
    const auto page = browserVisits_.front().get();
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("return to Kavo Meetings"), std::string::npos);

    EXPECT_EQ(mode(cacheFile()), 0600u);
    EXPECT_TRUE(logs.contains("MSALAuthService", "Interactive sign-in: tid=" + defaultUser("tenantId") +
                                                     " email=avery.quinn@contoso.test"));
    const auto cache = readFileIfExists(cacheFile()).value();
    const auto refreshToken = nlohmann::json::parse(cache).at("accounts").at(0).at("refreshToken").get<std::string>();
    for (const auto& entry : logs.entries()) {
        for (const auto& secret : {session.kavoAccessToken, session.graphAccessToken, session.idToken, refreshToken}) {
            EXPECT_EQ(entry.message.find(secret), std::string::npos) << entry.message;
        }
    }
}

TEST_F(SignInAgainstDevStack, ASecondLaunchSignsInSilentlyFromTheCacheFile) {
    service(browser()).signIn();

    auto relaunched = service([](const std::string&) {
        ADD_FAILURE() << "a silent sign-in opened the browser";
        return false;
    });
    const auto session = relaunched.silentSignIn();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->email, "avery.quinn@contoso.test");
    EXPECT_EQ(session->tenantId, defaultUser("tenantId"));
    EXPECT_EQ(currentUserEmail(session->kavoAccessToken), "avery.quinn@contoso.test");
    EXPECT_EQ(mode(cacheFile()), 0600u);

    LogCapture logs;
    relaunched.signOut();
    EXPECT_TRUE(logs.contains("MSALAuthService", "Signed out: removed 1 account(s)"));
    EXPECT_EQ(service(browser()).silentSignIn(), std::nullopt);
    try {
        service(browser()).kavoToken();
        FAIL() << "a token without an account";
    } catch (const AuthError& error) {
        EXPECT_EQ(error.kind(), AuthError::Kind::interactionRequired);
    }
}

TEST_F(SignInAgainstDevStack, ARevokedOrCorruptCacheMeansSignedOut) {
    service(browser()).signIn();
    stack_->adminPost("/users/avery.quinn@contoso.test/revoke", nlohmann::json::object());
    LogCapture logs;
    EXPECT_EQ(service(browser()).silentSignIn(), std::nullopt);
    EXPECT_TRUE(logs.contains("MSALAuthService", "Silent sign-in failed: "));
    try {
        service(browser()).kavoToken();
        FAIL() << "a token from a revoked refresh token";
    } catch (const AuthError& error) {
        EXPECT_EQ(error.kind(), AuthError::Kind::interactionRequired);
    }

    writeFileAtomically(cacheFile(), "{not json", 0600);
    EXPECT_EQ(service(browser()).silentSignIn(), std::nullopt);
    EXPECT_NO_THROW(service(browser()).signOut());
}

TEST_F(SignInAgainstDevStack, WithoutABrowserTheDeviceCodeFlowSignsIn) {
    ManualClock clock;
    auto auth = service([](const std::string&) { return false; }, clock);
    const auto session = auth.signIn();
    EXPECT_EQ(session.email, "avery.quinn@contoso.test");
    ASSERT_EQ(deviceCodes_.size(), 1u);
    EXPECT_FALSE(deviceCodes_.front().userCode.empty());
    EXPECT_EQ(deviceCodes_.front().verificationURI, stack_->baseURL() + "/devicelogin");
    EXPECT_FALSE(clock.sleeps().empty()) << "the poll waits the interval the server asked for";
    EXPECT_EQ(currentUserEmail(session.kavoAccessToken), "avery.quinn@contoso.test");
    EXPECT_EQ(mode(cacheFile()), 0600u);
}

TEST_F(SignInAgainstDevStack, RefusalsAtTheIdentityProviderMapOntoTheErrorCases) {
    const auto failure = [&]() -> AuthError {
        try {
            service(browser()).signIn();
        } catch (const AuthError& error) {
            return error;
        }
        ADD_FAILURE() << "sign-in succeeded";
        return AuthError::underlying("");
    };
    stack_->adminPost("/identity/authorize", {{"outcome", "cancel"}});
    EXPECT_EQ(failure(), AuthError::cancelled());
    stack_->adminPost("/identity/authorize", {{"outcome", "interaction_required"}});
    EXPECT_EQ(failure(), AuthError::interactionRequired());

    LogCapture logs;
    stack_->adminPatch("/tenants/contoso", {{"kavoApiConsent", false}});
    EXPECT_EQ(failure(), AuthError::interactionRequired());
    EXPECT_TRUE(logs.contains("MSALAuthService",
                              "Kavo silent token failed, falling back to interactive consent: Tenant admin needs to "
                              "consent to the Meridane API for this organisation."));
    EXPECT_FALSE(std::filesystem::exists(cacheFile()));
}

TEST_F(SignInAgainstDevStack, DiscoveryFindsContosoAndRefusesUnknownTenants) {
    const TenantDiscoveryService discovery(endpoints().discoveryURL, transport_);
    const auto tenant = discovery.discover(defaultUser("tenantId"));
    EXPECT_EQ(tenant.clientName, stack_->tenantClientName("contoso"));
    EXPECT_EQ(tenant.kavoBaseUrl, stack_->tenantBaseURL("contoso"));
    EXPECT_EQ(tenant.tenantId, defaultUser("tenantId"));
    EXPECT_EQ(tenant.status, "active");
    EXPECT_FALSE(tenant.region.empty());

    const auto kind = [&](const std::string& tid) {
        try {
            discovery.discover(tid);
        } catch (const TenantDiscoveryError& error) {
            return error.kind();
        }
        ADD_FAILURE() << tid << " was discovered";
        return TenantDiscoveryError::Kind::http;
    };
    EXPECT_EQ(kind("00000000-0000-4000-8000-000000000000"), TenantDiscoveryError::Kind::notProvisioned);
    EXPECT_EQ(kind("9e8d7c6b-5a4f-4e3d-9c2b-1a0f9e8d7c6b"), TenantDiscoveryError::Kind::notProvisioned);
    EXPECT_EQ(kind("not-a-guid"), TenantDiscoveryError::Kind::malformedTid);

    stack_->adminPost("/faults", {{"endpoint", "discover"}, {"status", 503}});
    EXPECT_EQ(kind(defaultUser("tenantId")), TenantDiscoveryError::Kind::http);
}

}  // namespace
}  // namespace kavo

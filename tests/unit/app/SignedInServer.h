#pragma once

#include <utility>

#include "account/AuthService.h"
#include "account/Tenant.h"
#include "net/HTTPTransport.h"

// One signed-in account and the servers that answer it, for the application's core.
namespace kavo::testing {

inline constexpr const char* kTid = "4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f";

class SignedInAccount final : public AuthService {
public:
    AppSession signIn(std::stop_token) override { return session; }
    std::optional<AppSession> silentSignIn(std::stop_token) override { return session; }
    void signOut() override {}
    std::string kavoToken(std::stop_token) override { return "kavo-token"; }

    AppSession session{kTid,          "u-1",   "avery.quinn@contoso.test",
                       "Avery Quinn", "Avery", "id",
                       "graph",       "kavo",  WallTime{}};
};

// Answers the router, the tenant API, storage and the update manifest.
inline HTTPResponse serverAnswer(const HTTPRequest& request) {
    const Tenant tenant{
        kTid, "Contoso Meetings Lab", "CM", "https://kavo.contoso.test", "westeurope", "active"};
    if (request.url.starts_with("https://router.test/")) return {200, {}, tenant.toJson().dump()};
    if (request.url.starts_with("https://blob.test/")) return {201, {}, ""};
    const char* delivered = R"({"recording_id":"rec-9","state":"DELIVERED"})";
    const std::pair<const char*, const char*> answers[] = {
        {"/api/me", R"({"id":"u-1","email":"avery.quinn@contoso.test","name":"Avery Quinn",)"
                    R"("is_admin":false,"meetings_access":true})"},
        {"/uploads/init", R"({"recording_id":"rec-9","blob_path":"recordings/rec-9.wav",)"
                          R"("upload_url":"https://blob.test/c/rec-9.wav?sig=s"})"},
        {"/uploads/finalize", delivered},
        {"/recordings/rec-9", delivered},
        {"/latest.json", R"({"latestVersion":"99.0","downloadPageUrl":"https://kavo.example/d"})"},
    };
    for (const auto& [suffix, body] : answers) {
        if (request.url.ends_with(suffix)) return {200, {}, body};
    }
    return {404, {}, "{}"};
}

}  // namespace kavo::testing

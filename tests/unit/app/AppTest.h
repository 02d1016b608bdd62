#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/AuthService.h"
#include "account/Tenant.h"
#include "app/KavoMeetingsDesktopApp.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "capture/CaptureController.h"
#include "capture/files/CaptureSidecar.h"
#include "support/FakeAudioDevices.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/FakeConferenceActivitySource.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

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

class RecordingNotifier final : public Notifier {
public:
    void show(const Notification& notification) override { shown.push_back(notification); }
    std::vector<Notification> shown;
};

// The application core with real capture sessions on fake endpoints and a scripted server,
// all in simulated time. The microphone hisses in a quiet room until `speaking`; the far
// side always talks.
class AppTest : public ::testing::Test {
protected:
    AppTest() {
        transport->setResponder(serverAnswer);
        devices.setDefaultInput("BuiltInMic");
        devices.setDefaultOutput("BuiltInSpeaker");
        endpoints.microphoneDefault =
            EndpointScript::at(48'000).playing(DeviceStream{.signal = [this](std::int64_t frame) {
                return speaking->load() ? 0.3f * static_cast<float>(std::sin(frame * 0.05))
                                        : (frame % 2 == 0 ? 0.0001f : -0.0001f);
            }});
        endpoints.systemDefault = EndpointScript::at(48'000).playing(
            DeviceStream{.frequency = 440, .amplitude = 0.5f, .signal = {}});
    }

    ~AppTest() override {
        if (!app) return;
        app->capture().stop();
        app->uploads().waitUntilIdle();
    }

    void launch(std::function<std::shared_ptr<AuthService>()> makeAuth = [] {
        return std::make_shared<SignedInAccount>();
    }) {
        app = std::make_unique<KavoMeetingsDesktopApp>(KavoMeetingsDesktopApp::Environment{
            .makeAuthService = std::move(makeAuth),
            .transport = transport,
            .discoveryURL = "https://router.test/discover",
            .updateManifestURL = "https://updates.test/latest.json",
            .defaults = defaults,
            .capturesDirectory = captures,
            .makeSession = captureSessionFactory({.directory = captures,
                                                  .factory = endpoints.factory(),
                                                  .devices = devices,
                                                  .clock = clock,
                                                  .control = &main,
                                                  .mixerQueue = &main}),
            .repair =
                [](const std::filesystem::path&) { return std::vector<std::filesystem::path>{}; },
            .conference = &activity,
            .clock = &clock,
            .main = &main,
            .worker = &main,
            .environmentVariable = [](const char*) { return std::optional<std::string>{}; },
            .runningVersion = "1.0.0",
            .supportEnvironment = {},
            .timeZone = "UTC",
            .uploadTiming = {.stallWatchdogInterval = std::nullopt},
            .openURL = [](const std::string&) {},
            .showReport =
                [this](std::shared_ptr<ProblemReportForm> form) {
                    reports.push_back(std::move(form));
                },
            .quit = [this] { ++quits; },
            .notifier = &notifier,
        });
        main.runUntilIdle();
    }

    // Lets `duration` pass in steps of 0.1 s, the endpoints delivering what is due.
    void run(Duration duration) {
        for (Duration done{}; done < duration; done += std::chrono::milliseconds(100)) {
            main.advance(std::chrono::milliseconds(100));
            for (const auto& endpoint : endpoints.microphones())
                endpoint->deliverUntil(clock.hostTime());
            for (const auto& endpoint : endpoints.systems())
                endpoint->deliverUntil(clock.hostTime());
        }
    }

    // Lets uploads finish and the main loop take what they posted.
    void settle() {
        app->uploads().waitUntilIdle();
        main.runUntilIdle();
    }

    std::optional<MenuItem> item(std::string_view title) const {
        const auto items = app->menu();
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const MenuItem& i) { return i.title == title; });
        if (found == items.end()) return std::nullopt;
        return *found;
    }
    bool shows(std::string_view title) const { return item(title).has_value(); }
    void choose(std::string_view title) {
        const auto found = item(title);
        ASSERT_TRUE(found) << title;
        app->perform(*found);
    }

    std::size_t requestsEndingWith(std::string_view suffix) const {
        const auto requests = transport->requests();
        return static_cast<std::size_t>(std::count_if(
            requests.begin(), requests.end(),
            [&](const HTTPRequest& request) { return request.url.ends_with(suffix); }));
    }

    // The sidecar of the only capture made.
    CaptureSidecar onlySidecar() const {
        for (const auto& entry : std::filesystem::directory_iterator(captures)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("capture-") && name.ends_with(".json"))
                return CaptureSidecar::read(entry.path());
        }
        throw std::runtime_error("no sidecar");
    }

    TempDir dir;
    std::filesystem::path captures = dir.path() / "Captures";
    ManualClock clock;
    ManualScheduler main{clock};
    LogCapture logs;
    FakeAudioDevices devices;
    FakeCaptureEndpoints endpoints{clock};
    FakeConferenceActivitySource activity;
    std::shared_ptr<std::atomic<bool>> speaking = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    RecordingNotifier notifier;
    std::vector<std::shared_ptr<ProblemReportForm>> reports;
    int quits = 0;
    std::unique_ptr<KavoMeetingsDesktopApp> app;
};

}  // namespace kavo::testing

// The whole application in this process, against servers that really go away and come
// back: the Kavo server, the identity platform and the audio server.
#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>

#include "AppHarness.h"
#include "app/LinuxDesktop.h"
#include "base/Log.h"
#include "base/MainLoop.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"
#include "capture/files/WavWriter.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/EnvironmentMap.h"
#include "support/PulseDaemon.h"
#include "support/ScaledClock.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

class InProcessApp : public ::testing::Test {
protected:
    ~InProcessApp() override {
        for (auto& visit : browserVisits_) visit.wait();
    }

    LinuxServices::Options options() {
        LinuxServices::Options options;
        options.environment = testing::environmentFrom(environment_);
        // Plays the browser: the authorize URL redirects to the app's loopback listener.
        options.openURL = [this](const std::string& url) {
            browserVisits_.push_back(std::async(std::launch::async, [this, url] {
                HTTPRequest request;
                request.url = url;
                transport_->data(request);
            }));
            return true;
        };
        return options;
    }

    // The front end of an application run on this test's main loop.
    LinuxDesktop::Shell shell() {
        return {.main = &loop_, .openURL = {}, .showReport = {}, .quit = {}};
    }

    // Runs the main loop until `done` holds, checked every 50 ms.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
        bool met = false;
        const auto check = [&] {
            if (!met && done()) {
                met = true;
                loop_.quit();
            }
        };
        loop_.post(check);
        const TimerHandle poll = loop_.every(50ms, 0ms, check);
        const TimerHandle giveUp = loop_.after(timeout, [this] { loop_.quit(); });
        loop_.run();
        return met;
    }

    // Signs in once, so that later launches remember the account.
    void signInOnce(LinuxServices& services, const Clock& clock) {
        LinuxDesktop first(services, clock, shell());
        auto& app = first.app();
        ASSERT_TRUE(runUntil(
            [&] { return app.session().phase().kind() == SessionPhase::Kind::signedOut; }, 30s));
        app.perform(MenuItem::button("Sign In", MenuAction::signIn));
        ASSERT_TRUE(runUntil(
            [&] { return app.session().phase().kind() == SessionPhase::Kind::signedIn; }, 60s))
            << app.session().signInError().value_or("not signed in");
        first.app().uploads().waitUntilIdle();
    }

    // Two seconds of audio, closed, with the sidecar a finished capture has.
    CaptureArtifacts finishedCapture(const std::filesystem::path& captures) {
        const auto id = makeCaptureId();
        const auto artifacts = CaptureArtifacts::forCapture(captures, id);
        std::filesystem::create_directories(captures);
        const std::vector<std::int16_t> audio(32'000, 997);
        WavWriter writer(artifacts.audioURL, 16'000, 1, 16);
        writer.append(audio.data(), static_cast<std::int64_t>(audio.size()));
        writer.close();
        CaptureSidecar sidecar;
        sidecar.captureId = id;
        sidecar.audioFileName = captureAudioFileName(id);
        sidecar.startedAt = SidecarTimestamp::format(std::chrono::system_clock::now() - 2s);
        sidecar.endedAt = SidecarTimestamp::format(std::chrono::system_clock::now());
        sidecar.durationSeconds = 2;
        sidecar.write(artifacts.sidecarURL);
        return artifacts;
    }

    static std::string everything(const LogCapture& logs) {
        std::string all;
        for (const auto& entry : logs.entries())
            all += entry.category + ": " + entry.message + "\n";
        return all;
    }

    static inline linux_platform::CurlGlobal curl_;
    static inline std::shared_ptr<HTTPTransport> transport_ =
        std::make_shared<linux_platform::CurlTransport>(curl_);

    testing::DevStack stack_{transport_};
    testing::TempDir home_;
    std::map<std::string, std::string> environment_{
        {"XDG_DATA_HOME", (home_.path() / "data").string()},
        {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
        {"XDG_STATE_HOME", (home_.path() / "state").string()},
        {"KAVO_ENDPOINTS",
         stack_.endpoints().at("dataDir").get<std::string>() + "/endpoints.json"}};
    std::vector<std::future<void>> browserVisits_;
    std::unique_ptr<testing::PulseDaemon> daemon_;
    std::optional<testing::PulseDaemon::Process> voice_;
    MainLoop loop_;
    LogCapture logs;
};

// Launched offline (autostart before the network is up), then outages longer than an upload's
// attempts and of the identity platform (503): passing, retried, never a new sign-in.
TEST_F(InProcessApp, ARememberedAccountSignedInOfflineHasItsCapturesDeliveredThroughOutages) {
    // Fifty times faster: the 10 s, 60 s and 300 s waits take 0.2 s, 1.2 s and 6 s.
    testing::ScaledClock clock(50);
    LinuxServices services(clock, options());
    // Tokens that are always too close to their end to be used again: every call asks.
    stack_.adminPatch("/settings", {{"identity", {{"accessTokenLifetimeSeconds", 120}}}});
    signInOnce(services, clock);

    stack_.takeDown();
    LinuxDesktop desktop(services, clock, shell());
    auto& app = desktop.app();
    ASSERT_TRUE(
        runUntil([&] { return app.session().phase().kind() == SessionPhase::Kind::signedIn; }, 30s))
        << everything(logs);

    const auto captures = services.paths().capturesDirectory();
    const auto delivered = [](const CaptureArtifacts& artifacts) {
        return CaptureSidecar::read(artifacts.sidecarURL).uploadState == "DELIVERED";
    };
    const auto first = finishedCapture(captures);
    app.delivery().captureFinished(first);
    // All four attempts fail on a server that is gone; the delivery waits for the next round.
    ASSERT_TRUE(runUntil([&] { return logs.contains("CaptureDelivery", "Delivery paused"); }, 60s))
        << everything(logs);

    stack_.bringBack();
    stack_.adminPatch("/settings", {{"identity", {{"accessTokenLifetimeSeconds", 120}}}});
    ASSERT_TRUE(runUntil([&] { return delivered(first); }, 90s))
        << app.delivery().upload().menuText() << everything(logs);

    logs.clear();
    stack_.adminPost("/faults", {{"endpoint", "token"}, {"status", 503}, {"times", 2}});
    const auto second = finishedCapture(captures);
    app.delivery().captureFinished(second);
    ASSERT_TRUE(runUntil([&] { return delivered(second); }, 60s))
        << app.delivery().upload().menuText() << everything(logs);
    EXPECT_TRUE(logs.contains("UploadCoordinator", "Retry 1 in 10s")) << everything(logs);
}

class AudioServerRestart : public InProcessApp, public ::testing::WithParamInterface<bool> {};

// The audio server restarts 2 s into a recording: the first file ends, and the recording goes
// on in a second with the new server's voice; an automatic one once the meeting app is back.
TEST_P(AudioServerRestart, TheRecordingGoesOnInANewFileWithTheVoiceAtItsEnd) {
    const bool automatic = GetParam();
    daemon_ = std::make_unique<testing::PulseDaemon>();
    SystemClock clock;
    LinuxServices services(clock, options());
    signInOnce(services, clock);
    const auto zoomOn = [this] {
        return testing::PulseDaemon::spawn({"parec", "--device=mic",
                                            "--property=application.process.binary=zoom",
                                            "--property=application.name=ZOOM VoiceEngine"});
    };
    // The meeting app holds the microphone when the program starts.
    std::optional<testing::PulseDaemon::Process> zoom;
    if (automatic) zoom.emplace(zoomOn());
    LinuxDesktop desktop(services, clock, shell());
    CaptureController& capture = desktop.app().capture();
    if (!automatic) capture.start(false);
    const auto captures = services.paths().capturesDirectory();

    std::optional<std::chrono::steady_clock::time_point> first, resumed;
    bool restarted = false;
    ASSERT_TRUE(runUntil(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (!first && capture.isRecording()) first = now;
            if (first && !restarted && now - *first > 2s) {
                restarted = true;
                zoom.reset();
                voice_.reset();
                daemon_.reset();  // before the new one takes its place in the environment
                daemon_ = std::make_unique<testing::PulseDaemon>();
                voice_.emplace(daemon_->play("micsrc", daemon_->tone(440, 20)));
                if (automatic) zoom.emplace(zoomOn());
            }
            if (restarted && !resumed && capture.isRecording() &&
                e2e::capturesIn(captures, ".wav").size() == 2)
                resumed = now;
            return resumed && now - *resumed > 4s;
        },
        90s))
        << capture.lastError().value_or("not recording") << "\n"
        << everything(logs);
    EXPECT_EQ(capture.startedAutomatically(), automatic);
    capture.stop();
    const auto files = e2e::capturesIn(captures, ".wav");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(
        CaptureSidecar::read(std::filesystem::path(files[0]).replace_extension(".json")).endedAt)
        << "the recording on the lost server was not ended";
    const auto samples = e2e::samplesOf(e2e::readBytes(files[1]));
    const double seconds = static_cast<double>(samples.size()) / 16'000;
    EXPECT_GT(e2e::toneIn(samples, 440, seconds - 1.5, seconds - 0.5), 0.1) << files[1];
}

INSTANTIATE_TEST_SUITE_P(InProcessApp, AudioServerRestart, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& automatic) {
                             return automatic.param ? "startedAutomatically" : "startedByHand";
                         });

}  // namespace
}  // namespace kavo

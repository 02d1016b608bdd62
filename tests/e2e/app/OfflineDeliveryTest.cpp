// A meeting finished while the Kavo server cannot be reached: the application keeps it,
// says it will retry, and delivers it once the server is back. The whole application
// runs in this process against the dev stack, which really goes away and comes back;
// only the waits between attempts are shortened.
#include <gtest/gtest.h>

#include <future>

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/MainLoop.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"
#include "capture/files/WavWriter.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/LinuxDesktop.h"
#include "support/DevStack.h"
#include "support/ScaledClock.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

class OfflineDelivery : public ::testing::Test {
protected:
    ~OfflineDelivery() override {
        for (auto& visit : browserVisits_) visit.wait();
    }

    linux_platform::LinuxServices::Options options() {
        linux_platform::LinuxServices::Options options;
        options.environment = [this](const char* name) -> std::optional<std::string> {
            const auto found = environment_.find(name);
            if (found == environment_.end()) return std::nullopt;
            return found->second;
        };
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

    // Runs the main loop until `done` holds, checked after every change of the menu and
    // every 50 ms.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
        bool met = false;
        check_ = [&] {
            if (!met && done()) {
                met = true;
                loop_.quit();
            }
        };
        loop_.post(check_);
        const TimerHandle poll = loop_.every(50ms, 0ms, check_);
        const TimerHandle giveUp = loop_.after(timeout, [this] { loop_.quit(); });
        loop_.run();
        check_ = {};
        return met;
    }

    // Two seconds of audio, closed, with the sidecar a finished capture has.
    CaptureArtifacts finishedCapture(const std::filesystem::path& captures) {
        const auto id = makeCaptureId();
        const auto artifacts = CaptureArtifacts::forCapture(captures, id);
        std::filesystem::create_directories(captures);
        std::vector<std::int16_t> audio(32'000);
        for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = std::int16_t(i * 997);
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
    MainLoop loop_;
    std::function<void()> check_;
};

TEST_F(OfflineDelivery, ACaptureFinishedWhileTheServerIsDownIsDeliveredOnceItIsBack) {
    LogCapture logs;
    // Fifty times faster: the 10 s, 60 s and 300 s waits take 0.2 s, 1.2 s and 6 s.
    testing::ScaledClock clock(50);
    linux_platform::LinuxServices services(clock, options());
    linux_platform::LinuxDesktop::Shell shell;
    shell.main = &loop_;
    linux_platform::LinuxDesktop desktop(services, clock, std::move(shell));
    auto& app = desktop.app();
    // The upload line of the menu, each time it changed.
    std::vector<std::string> shown;
    app.observe([&] {
        const auto items = app.menu();
        const auto text = app.session().upload().menuText();
        const bool inMenu = std::any_of(items.begin(), items.end(),
                                        [&](const MenuItem& item) { return item.title == text; });
        if (inMenu && (shown.empty() || shown.back() != text)) shown.push_back(text);
        if (check_) check_();
    });

    ASSERT_TRUE(runUntil(
        [&] { return app.session().phase().kind() == SessionPhase::Kind::signedOut; }, 30s));
    app.perform(MenuItem::button("Sign In", MenuAction::signIn));
    ASSERT_TRUE(
        runUntil([&] { return app.session().phase().kind() == SessionPhase::Kind::signedIn; }, 60s))
        << app.session().signInError().value_or(
               "still " + std::to_string(static_cast<int>(app.session().phase().kind())));

    stack_.takeDown();
    const auto artifacts = finishedCapture(services.paths().capturesDirectory());
    const auto wav = readFileIfExists(artifacts.audioURL);
    app.session().captureFinished(artifacts);

    // The second retry has begun: the first two attempts failed on a server that is gone.
    ASSERT_TRUE(
        runUntil([&] { return logs.contains("UploadCoordinator", "Retry 2 in 60s"); }, 60s));
    const auto retrying = std::find_if(shown.begin(), shown.end(), [](const std::string& text) {
        return text.ends_with(" (auto-retrying)");
    });
    ASSERT_NE(retrying, shown.end()) << "the menu never said it would retry";
    EXPECT_EQ(shown.front(), "Preparing upload");
    EXPECT_EQ(CaptureSidecar::read(artifacts.sidecarURL).uploadState, std::nullopt)
        << "nothing was delivered while the server was down";

    stack_.bringBack();
    ASSERT_TRUE(runUntil(
        [&] { return app.session().upload().kind() == UploadStatus::Kind::delivered; }, 90s))
        << app.session().upload().menuText();
    EXPECT_EQ(shown.back(), "Uploaded");

    const auto sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    EXPECT_EQ(sidecar.uploadState, "DELIVERED");
    ASSERT_TRUE(sidecar.recordingId);
    HTTPRequest blob;
    blob.url = stack_.adminURL() + "/recordings/" + *sidecar.recordingId + "/blob";
    EXPECT_TRUE(transport_->data(blob).body == *wav) << "the stored blob differs from the capture";

    const auto waits = clock.waitsAskedFor();
    EXPECT_NE(std::find(waits.begin(), waits.end(), Duration(10s)), waits.end());
    EXPECT_NE(std::find(waits.begin(), waits.end(), Duration(60s)), waits.end());
}

}  // namespace
}  // namespace kavo

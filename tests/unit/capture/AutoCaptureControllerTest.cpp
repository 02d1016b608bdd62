#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "capture/MeetingAutoCapture.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "capture/CaptureController.h"
#include "capture/MeetingAutoCapture.h"
#include "support/FakeConferenceActivitySource.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using std::chrono::seconds;

class SilentSession final : public CaptureController::Session {
public:
    SilentSession(const Clock& clock, std::filesystem::path file)
        : clock_(clock), file_(std::move(file)) {}
    std::filesystem::path start() override {
        startedAt_ = clock_.now();
        return file_;
    }
    void stop() override {}
    std::optional<std::filesystem::path> audioURL() const override { return file_; }
    std::optional<std::filesystem::path> sidecarURL() const override {
        return file_.parent_path() / "capture.json";
    }
    std::optional<WallTime> startedAt() const override { return startedAt_; }
    // Never paused, and both sides always heard.
    void pause() override {}
    void resume() override {}
    double pausedSeconds() const override { return 0; }
    CaptureCondition condition() const override { return {}; }

private:
    const Clock& clock_;
    const std::filesystem::path file_;
    std::optional<WallTime> startedAt_;
};

// The auto-capture wired to a real capture controller, as the application shell does.
TEST(AutoCaptureControllerTest, DrivesTheControllerAndLeavesManualRecordingsAlone) {
    ManualClock clock;
    ManualScheduler main{clock};
    testing::TempDir dir;
    int finished = 0;
    CaptureController controller(
        {.capturesDirectory = dir.path(),
         .makeSession =
             [&](const CaptureController::Owner&) {
                 return std::make_unique<SilentSession>(clock, dir / "capture.wav");
             },
         .main = main,
         .clock = clock,
         .repair =
             [](const std::filesystem::path&) { return std::vector<std::filesystem::path>{}; }},
        [&](const CaptureArtifacts&) { ++finished; });
    controller.waitForLaunchRepair();
    MemoryDefaults defaults;
    testing::FakeConferenceActivitySource source;
    const auto autoCapture = MeetingAutoCapture::create(
        source, defaults, MeetingAutoCapture::Hooks::forController(controller, [] { return true; }),
        clock, main, seconds(1));
    autoCapture->arm();

    source.emit({"us.zoom.Zoom"});
    main.advance(seconds(3));
    ASSERT_TRUE(controller.isRecording());
    EXPECT_TRUE(controller.startedAutomatically());
    source.emit({});
    main.advance(seconds(20));
    EXPECT_FALSE(controller.isRecording());
    EXPECT_EQ(finished, 1);

    controller.start(false);
    source.emit({"us.zoom.Zoom"});
    main.advance(seconds(5));
    source.emit({});
    main.advance(seconds(60));
    EXPECT_TRUE(controller.isRecording());
    EXPECT_FALSE(controller.startedAutomatically());
    controller.stop();
}

}  // namespace
}  // namespace kavo

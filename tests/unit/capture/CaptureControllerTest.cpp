#include <gtest/gtest.h>

#include <thread>

#include "base/Error.h"
#include "capture/CaptureController.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// What the fake sessions of one test did, kept after the controller has dropped them.
struct SessionLog {
    std::filesystem::path directory;
    int made = 0, started = 0, stopped = 0;
    std::optional<std::string> startError{};
    std::optional<std::string> failure{};  // once the session has ended by itself
};

class FakeSession final : public CaptureController::Session {
public:
    explicit FakeSession(SessionLog& log) : log_(log) {}

    std::filesystem::path start() override {
        const auto name = log_.directory / ("capture-" + std::to_string(++log_.started));
        if (log_.startError) throw Error(*log_.startError);
        audio_ = name.string() + ".wav";
        sidecar_ = name.string() + ".json";
        return *audio_;
    }
    void stop() override { ++log_.stopped; }
    std::optional<std::filesystem::path> audioURL() const override { return audio_; }
    std::optional<std::filesystem::path> sidecarURL() const override { return sidecar_; }
    std::optional<WallTime> startedAt() const override { return WallTime{}; }
    void pause() override {}
    void resume() override {}
    double pausedSeconds() const override { return 0; }
    CaptureCondition condition() const override { return {}; }
    std::optional<std::string> failure() const override { return log_.failure; }

private:
    SessionLog& log_;
    std::optional<std::filesystem::path> audio_, sidecar_;
};

class CaptureControllerTest : public ::testing::Test {
protected:
    std::unique_ptr<CaptureController> make(std::function<void(const CaptureArtifacts&)> finish) {
        return std::make_unique<CaptureController>(
            CaptureController::Environment{.capturesDirectory = dir.path(),
                                           .makeSession =
                                               [this](const CaptureController::Owner&) {
                                                   ++sessions.made;
                                                   return std::make_unique<FakeSession>(sessions);
                                               },
                                           .main = main,
                                           .clock = clock,
                                           .repair =
                                               [this](const std::filesystem::path&) {
                                                   repairedOn = std::this_thread::get_id();
                                                   return std::vector<std::filesystem::path>{};
                                               }},
            std::move(finish));
    }
    std::vector<CaptureArtifacts> files(int capture) const {
        const auto name = "capture-" + std::to_string(capture);
        return {{dir / (name + ".wav"), dir / (name + ".json")}};
    }

    testing::TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    SessionLog sessions{.directory = dir.path()};
    std::optional<std::thread::id> repairedOn;
    std::vector<CaptureArtifacts> finished;
    std::unique_ptr<CaptureController> controller = make([this](const CaptureArtifacts& files) {
        finished.push_back(files);
        // Idle by the time the files are handed over.
        EXPECT_FALSE(controller->isRecording() || controller->session());
    });
};

TEST_F(CaptureControllerTest, StartThenStopHandsTheFilesOverOnceAndASecondStartChangesNothing) {
    controller->start(true);
    ASSERT_TRUE(controller->isRecording());
    const auto* first = controller->session();
    main.advance(10s);
    controller->start(false);
    EXPECT_EQ(sessions.made, 1);
    EXPECT_EQ(controller->session(), first);
    EXPECT_TRUE(controller->startedAutomatically());

    controller->stop();
    controller->stop();
    EXPECT_EQ(sessions.stopped, 1);
    EXPECT_FALSE(controller->startedAutomatically());
    EXPECT_EQ(finished, files(1));
}

// Why the last capture could not start, or ended by itself (a full disk), stays for the
// menu until the next start; a capture that ended by itself is handed over as after a stop.
TEST_F(CaptureControllerTest, AFailedStartOrAnEndByItselfIsToldUntilTheNextStart) {
    sessions.startError = "The microphone could not be started.";
    controller->start(false);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->lastError(), "Could not start recording: " + *sessions.startError);
    sessions.startError.reset();

    controller->start(false);
    EXPECT_EQ(controller->lastError(), std::nullopt);
    main.advance(5s);
    sessions.failure = "The disk is full.";
    main.advance(1s);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->lastError(), sessions.failure);
    EXPECT_EQ(finished, files(2));
    EXPECT_FALSE(main.hasPending());
}

TEST_F(CaptureControllerTest, TheLaunchRepairRunsOffTheMainThread) {
    controller->waitForLaunchRepair();
    ASSERT_TRUE(repairedOn);
    EXPECT_NE(*repairedOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace kavo

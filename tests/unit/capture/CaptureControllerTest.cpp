#include <gtest/gtest.h>

#include <thread>

#include "base/Error.h"
#include "base/Log.h"
#include "capture/CaptureController.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Property = CaptureController::Property;

// What the fake sessions of one test did, kept after the controller has dropped them.
struct SessionLog {
    int made = 0, started = 0, stopped = 0;
    std::optional<std::string> startError;
    // What failure() tells once the session has ended by itself.
    std::optional<std::string> failure;
    bool namesSidecar = true, hasStartDate = true;
};

class FakeSession final : public CaptureController::Session {
public:
    FakeSession(SessionLog& log, const Clock& clock, std::filesystem::path directory)
        : log_(log), clock_(clock), directory_(std::move(directory)) {}

    std::filesystem::path start() override {
        const std::string name = "capture-" + std::to_string(++log_.started);
        if (log_.startError) throw Error(*log_.startError);
        audio_ = directory_ / (name + ".wav");
        if (log_.namesSidecar) sidecar_ = directory_ / (name + ".json");
        if (log_.hasStartDate) startedAt_ = clock_.now();
        return *audio_;
    }
    void stop() override { ++log_.stopped; }
    std::optional<std::filesystem::path> audioURL() const override { return audio_; }
    std::optional<std::filesystem::path> sidecarURL() const override { return sidecar_; }
    std::optional<WallTime> startedAt() const override { return startedAt_; }
    std::optional<std::string> failure() const override { return log_.failure; }

private:
    SessionLog& log_;
    const Clock& clock_;
    const std::filesystem::path directory_;
    std::optional<std::filesystem::path> audio_, sidecar_;
    std::optional<WallTime> startedAt_;
};

class CaptureControllerTest : public ::testing::Test {
protected:
    CaptureController::Environment environment() {
        return {.capturesDirectory = dir.path(),
                .makeSession =
                    [this](const CaptureController::Owner&) {
                        ++sessions.made;
                        return std::make_unique<FakeSession>(sessions, clock, dir.path());
                    },
                .main = main,
                .clock = clock,
                .repair =
                    [this](const std::filesystem::path& directory) {
                        repairCalls.push_back({directory, std::this_thread::get_id()});
                        return std::vector<std::filesystem::path>{};
                    }};
    }

    void SetUp() override {
        controller = std::make_unique<CaptureController>(
            environment(), [this](const CaptureArtifacts& artifacts) {
                finished.push_back(artifacts);
                recordingWhenFinished.push_back(controller->isRecording() ||
                                                controller->session() != nullptr);
            });
        controller->observe([this](Property property) { changes.push_back(property); });
    }

    int countChanges(Property property) const {
        return static_cast<int>(std::count(changes.begin(), changes.end(), property));
    }

    testing::TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    SessionLog sessions;
    std::vector<std::pair<std::filesystem::path, std::thread::id>> repairCalls;
    std::vector<CaptureArtifacts> finished;
    std::vector<bool> recordingWhenFinished;
    std::vector<Property> changes;
    std::unique_ptr<CaptureController> controller;
};

TEST_F(CaptureControllerTest, StartThenStopHandsTheFilesOverOnceAndASecondStartChangesNothing) {
    controller->start(true);
    ASSERT_TRUE(controller->isRecording());
    EXPECT_TRUE(controller->startedAutomatically());
    const auto* first = controller->session();
    ASSERT_NE(first, nullptr);
    main.advance(10s);
    controller->start(false);
    EXPECT_EQ(sessions.made, 1);
    EXPECT_EQ(controller->session(), first);
    EXPECT_TRUE(controller->startedAutomatically());
    EXPECT_EQ(controller->elapsedLabel(), "0:10");

    controller->stop();
    EXPECT_EQ(sessions.stopped, 1);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_FALSE(controller->startedAutomatically());
    EXPECT_EQ(controller->session(), nullptr);
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    EXPECT_EQ(finished,
              (std::vector{CaptureArtifacts{dir / "capture-1.wav", dir / "capture-1.json"}}));
    // The state is idle by the time the files are handed over.
    EXPECT_EQ(recordingWhenFinished, std::vector<bool>{false});
    EXPECT_EQ(countChanges(Property::isRecording), 2);
    EXPECT_EQ(countChanges(Property::startedAutomatically), 2);

    controller->stop();
    EXPECT_EQ(sessions.stopped, 1);
    EXPECT_FALSE(main.hasPending());

    // A capture without both files is not handed over.
    sessions.namesSidecar = false;
    controller->start(false);
    controller->stop();
    EXPECT_EQ(sessions.stopped, 2);
    EXPECT_EQ(finished.size(), 1U);
}

TEST_F(CaptureControllerTest, AFailedStartRecordsWhyUntilTheNextStart) {
    LogCapture log;
    sessions.startError = "The microphone could not be started (status 561017449).";
    controller->start(false);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->session(), nullptr);
    EXPECT_EQ(controller->lastError(), "Could not start recording: " + *sessions.startError);
    EXPECT_EQ(log.messages("CaptureController"),
              std::vector<std::string>{"Start failed: " + *sessions.startError});
    EXPECT_EQ(changes, (std::vector<Property>{Property::lastError}));
    EXPECT_FALSE(main.hasPending());
    controller->stop();
    EXPECT_EQ(sessions.stopped, 0);

    // Each attempt clears the old reason before it fails again.
    controller->start(false);
    EXPECT_EQ(countChanges(Property::lastError), 3);
    sessions.startError.reset();
    controller->start(true);
    EXPECT_EQ(controller->lastError(), std::nullopt);
    EXPECT_TRUE(controller->isRecording());
    EXPECT_EQ(countChanges(Property::lastError), 4);
}

// A full disk ends the capture under the controller: what was written is handed over as
// after a stop, and the reason stays for the menu until the next start.
TEST_F(CaptureControllerTest, ACaptureThatEndsByItselfIsHandedOverWithItsReason) {
    controller->start(false);
    main.advance(5s);
    const std::string full =
        "The disk is full: the recording stopped and keeps the 4.2 s written "
        "until then.";
    sessions.failure = full;
    main.advance(1s);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->lastError(), full);
    EXPECT_EQ(finished,
              (std::vector{CaptureArtifacts{dir / "capture-1.wav", dir / "capture-1.json"}}));
    EXPECT_FALSE(main.hasPending());
    sessions.failure.reset();
    controller->start(false);
    EXPECT_EQ(controller->lastError(), std::nullopt);
}

TEST_F(CaptureControllerTest, TheElapsedLabelTicksEachSecondFromTheWallClocksStartDate) {
    controller->start(false);
    main.advance(3725s);
    EXPECT_EQ(controller->elapsedLabel(), "1:02:05");
    EXPECT_EQ(countChanges(Property::elapsedLabel), 3725);

    // The user moves the date forward: the label follows the wall clock, not the ticks.
    clock.setWallTime(clock.now() + 10min);
    main.advance(1s);
    EXPECT_EQ(controller->elapsedLabel(), "1:12:06");
    // Moved back before the start, it holds at zero, and unchanged ticks notify nobody.
    clock.setWallTime(clock.now() - 3h);
    main.advance(1s);
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    const int before = countChanges(Property::elapsedLabel);
    main.advance(5s);
    EXPECT_EQ(countChanges(Property::elapsedLabel), before);
    controller->stop();
    const int atStop = countChanges(Property::elapsedLabel);
    main.advance(10s);
    // Nor does a session without a start date, which shows zero.
    sessions.hasStartDate = false;
    controller->start(false);
    main.advance(30s);
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    EXPECT_EQ(countChanges(Property::elapsedLabel), atStop);
}

TEST_F(CaptureControllerTest, TheHandOverMayStartTheNextCapture) {
    std::unique_ptr<CaptureController> chained;
    chained = std::make_unique<CaptureController>(environment(), [&](const CaptureArtifacts& a) {
        finished.push_back(a);
        chained->start(true);
    });
    chained->start(false);
    chained->stop();
    ASSERT_EQ(finished.size(), 1U);
    EXPECT_TRUE(chained->isRecording());
    EXPECT_TRUE(chained->startedAutomatically());
    main.advance(2s);
    EXPECT_EQ(chained->elapsedLabel(), "0:02");
}

// What the repair does to the files is shown by the crash end-to-end test.
TEST_F(CaptureControllerTest, TheLaunchRepairRunsOnceOffTheMainThread) {
    controller->waitForLaunchRepair();
    controller->start(false);
    controller->stop();
    ASSERT_EQ(repairCalls.size(), 1U);
    EXPECT_EQ(repairCalls[0].first, dir.path());
    EXPECT_NE(repairCalls[0].second, std::this_thread::get_id());
}

}  // namespace
}  // namespace kavo

#include "capture/CaptureController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Error.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "capture/files/WavHeader.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using testing::TempDir;
using Property = CaptureController::Property;

// What the fake sessions of one test did, shared with the test after the controller
// has dropped them.
struct SessionLog {
    int made = 0;
    int started = 0;
    int stopped = 0;
};

class FakeSession final : public CaptureController::Session {
public:
    struct Behaviour {
        std::optional<std::string> startError;
        bool namesSidecar = true;
        bool hasStartDate = true;
    };

    FakeSession(SessionLog& log, const Clock& clock, std::filesystem::path directory,
                Behaviour behaviour)
        : log_(log), clock_(clock), directory_(std::move(directory)), behaviour_(behaviour) {}

    std::filesystem::path start() override {
        ++log_.started;
        if (behaviour_.startError) {
            throw Error(*behaviour_.startError);
        }
        const std::string id = "capture-" + std::to_string(log_.started);
        audioURL_ = directory_ / (id + ".wav");
        if (behaviour_.namesSidecar) {
            sidecarURL_ = directory_ / (id + ".json");
        }
        if (behaviour_.hasStartDate) {
            startedAt_ = clock_.now();
        }
        return *audioURL_;
    }
    void stop() override { ++log_.stopped; }
    std::optional<std::filesystem::path> audioURL() const override { return audioURL_; }
    std::optional<std::filesystem::path> sidecarURL() const override { return sidecarURL_; }
    std::optional<WallTime> startedAt() const override { return startedAt_; }

private:
    SessionLog& log_;
    const Clock& clock_;
    const std::filesystem::path directory_;
    const Behaviour behaviour_;
    std::optional<std::filesystem::path> audioURL_;
    std::optional<std::filesystem::path> sidecarURL_;
    std::optional<WallTime> startedAt_;
};

class CaptureControllerTest : public ::testing::Test {
protected:
    CaptureController::Environment environment() {
        return {
            .capturesDirectory = dir.path(),
            .makeSession =
                [this] {
                    ++sessions.made;
                    return std::make_unique<FakeSession>(sessions, clock, dir.path(),
                                                         nextBehaviour);
                },
            .main = main,
            .clock = clock,
            .repair =
                [this](const std::filesystem::path& directory) {
                    const std::lock_guard lock(repairMutex);
                    repairCalls.push_back({directory, std::this_thread::get_id()});
                    return std::vector<std::filesystem::path>{};
                },
        };
    }

    void SetUp() override {
        controller = std::make_unique<CaptureController>(
            environment(), [this](const CaptureArtifacts& artifacts) {
                finished.push_back(artifacts);
                stateWhenFinished.push_back(controller->isRecording() ||
                                            controller->session() != nullptr);
            });
        controller->observe([this](Property property) { changes.push_back(property); });
    }

    int countChanges(Property property) const {
        return static_cast<int>(std::count(changes.begin(), changes.end(), property));
    }

    TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    SessionLog sessions;
    FakeSession::Behaviour nextBehaviour;
    std::mutex repairMutex;
    std::vector<std::pair<std::filesystem::path, std::thread::id>> repairCalls;
    std::vector<CaptureArtifacts> finished;
    std::vector<bool> stateWhenFinished;
    std::vector<Property> changes;
    std::unique_ptr<CaptureController> controller;
};

TEST_F(CaptureControllerTest, StartThenStopHandsTheFilesOverOnce) {
    controller->start(false);
    ASSERT_TRUE(controller->isRecording());
    ASSERT_NE(controller->session(), nullptr);
    EXPECT_FALSE(controller->startedAutomatically());
    EXPECT_EQ(sessions.started, 1);
    EXPECT_EQ(changes, (std::vector<Property>{Property::isRecording}));

    main.advance(std::chrono::seconds(3));
    EXPECT_EQ(controller->elapsedLabel(), "0:03");

    controller->stop();
    EXPECT_EQ(sessions.stopped, 1);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->session(), nullptr);
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    ASSERT_EQ(finished.size(), 1U);
    EXPECT_EQ(finished[0], (CaptureArtifacts{dir / "capture-1.wav", dir / "capture-1.json"}));
    // The state is idle by the time the files are handed over.
    EXPECT_EQ(stateWhenFinished, (std::vector<bool>{false}));

    controller->stop();
    EXPECT_EQ(sessions.stopped, 1);
    EXPECT_EQ(finished.size(), 1U);
    EXPECT_FALSE(main.hasPending());
}

TEST_F(CaptureControllerTest, ASecondStartChangesNothing) {
    controller->start(true);
    ASSERT_TRUE(controller->startedAutomatically());
    const auto* first = controller->session();
    main.advance(std::chrono::seconds(10));

    controller->start(false);
    EXPECT_EQ(sessions.made, 1);
    EXPECT_EQ(controller->session(), first);
    EXPECT_TRUE(controller->startedAutomatically());
    EXPECT_EQ(controller->elapsedLabel(), "0:10");

    controller->stop();
    EXPECT_FALSE(controller->startedAutomatically());
    EXPECT_EQ(countChanges(Property::startedAutomatically), 2);
    EXPECT_EQ(finished.size(), 1U);
}

TEST_F(CaptureControllerTest, AFailedStartRecordsWhyUntilTheNextStart) {
    LogCapture log;
    nextBehaviour.startError = "The microphone could not be started (status 561017449).";
    controller->start(false);

    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->session(), nullptr);
    EXPECT_EQ(controller->lastError(),
              "Could not start recording: The microphone could not be started (status 561017449).");
    EXPECT_EQ(log.messages("CaptureController"),
              (std::vector<std::string>{
                  "Start failed: The microphone could not be started (status 561017449)."}));
    EXPECT_EQ(changes, (std::vector<Property>{Property::lastError}));
    EXPECT_FALSE(main.hasPending());
    controller->stop();
    EXPECT_EQ(sessions.stopped, 0);

    // Each attempt clears the old reason before it fails again.
    controller->start(false);
    EXPECT_EQ(countChanges(Property::lastError), 3);
    EXPECT_TRUE(controller->lastError().has_value());

    nextBehaviour = {};
    controller->start(true);
    EXPECT_EQ(controller->lastError(), std::nullopt);
    EXPECT_TRUE(controller->isRecording());
    EXPECT_TRUE(controller->startedAutomatically());
    EXPECT_EQ(countChanges(Property::lastError), 4);
}

TEST_F(CaptureControllerTest, ElapsedLabelTicksEachSecondWhileRecordingOnly) {
    controller->start(false);
    main.advance(std::chrono::seconds(3725));
    EXPECT_EQ(controller->elapsedLabel(), "1:02:05");
    EXPECT_EQ(countChanges(Property::elapsedLabel), 3725);

    controller->stop();
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    main.advance(std::chrono::seconds(10));
    EXPECT_EQ(countChanges(Property::elapsedLabel), 3726);
}

TEST_F(CaptureControllerTest, ElapsedLabelReadsTheWallClockAgainstTheStartDate) {
    controller->start(false);
    main.advance(std::chrono::seconds(1));
    // The user moves the date forward: the label follows the wall clock, not the ticks.
    clock.setWallTime(clock.now() + std::chrono::minutes(10));
    main.advance(std::chrono::seconds(1));
    EXPECT_EQ(controller->elapsedLabel(), "10:02");

    // Moved back before the start, the label holds at zero and unchanged ticks notify
    // nobody.
    clock.setWallTime(clock.now() - std::chrono::hours(1));
    main.advance(std::chrono::seconds(1));
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    const int before = countChanges(Property::elapsedLabel);
    main.advance(std::chrono::seconds(5));
    EXPECT_EQ(countChanges(Property::elapsedLabel), before);
}

TEST_F(CaptureControllerTest, ASessionWithoutAStartDateShowsZero) {
    nextBehaviour.hasStartDate = false;
    controller->start(false);
    main.advance(std::chrono::seconds(30));
    EXPECT_EQ(controller->elapsedLabel(), "0:00");
    EXPECT_EQ(countChanges(Property::elapsedLabel), 0);
}

TEST_F(CaptureControllerTest, ACaptureWithoutBothFilesIsNotHandedOver) {
    nextBehaviour.namesSidecar = false;
    controller->start(false);
    controller->stop();
    EXPECT_EQ(sessions.stopped, 1);
    EXPECT_FALSE(controller->isRecording());
    EXPECT_TRUE(finished.empty());
}

TEST_F(CaptureControllerTest, TheHandOverMayStartTheNextCapture) {
    std::unique_ptr<CaptureController> chained;
    chained = std::make_unique<CaptureController>(
        environment(),
        [&](const CaptureArtifacts& artifacts) {
            finished.push_back(artifacts);
            chained->start(true);
        });
    chained->start(false);
    chained->stop();
    ASSERT_EQ(finished.size(), 1U);
    EXPECT_TRUE(chained->isRecording());
    EXPECT_TRUE(chained->startedAutomatically());
    main.advance(std::chrono::seconds(2));
    EXPECT_EQ(chained->elapsedLabel(), "0:02");
}

TEST_F(CaptureControllerTest, TheLaunchRepairRunsOnceOffTheMainThread) {
    controller->waitForLaunchRepair();
    const std::lock_guard lock(repairMutex);
    ASSERT_EQ(repairCalls.size(), 1U);
    EXPECT_EQ(repairCalls[0].first, dir.path());
    EXPECT_NE(repairCalls[0].second, std::this_thread::get_id());

    controller->start(false);
    controller->stop();
    EXPECT_EQ(repairCalls.size(), 1U);
}

std::filesystem::path writeTornCapture(const std::filesystem::path& url) {
    const wav::Header header = wav::makeHeader(16'000, 1, 16);
    std::ofstream file(url, std::ios::binary);
    file.write(reinterpret_cast<const char*>(header.data()), header.size());
    const std::vector<char> audio(3200, 1);
    file.write(audio.data(), static_cast<std::streamsize>(audio.size()));
    return url;
}

TEST(CaptureControllerLaunchRepair, FixesLeftoverFilesAndLogsTheirCount) {
    TempDir dir;
    writeTornCapture(dir / "capture-A.wav");
    writeTornCapture(dir / "capture-B.wav");
    ManualClock clock;
    ManualScheduler main(clock);
    LogCapture log;
    {
        CaptureController controller({.capturesDirectory = dir.path(),
                                      .makeSession = {},
                                      .main = main,
                                      .clock = clock},
                                     {});
        controller.waitForLaunchRepair();
    }
    EXPECT_TRUE(log.contains("CaptureController", "Repaired 2 incomplete capture(s) at launch"));
    std::ifstream file(dir / "capture-A.wav", std::ios::binary);
    wav::Header header{};
    file.read(reinterpret_cast<char*>(header.data()), header.size());
    EXPECT_EQ(wav::readLittleEndian32(header.data() + wav::kDataSizeOffset), 3200U);
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include "CaptureFixture.h"

namespace kavo::testing {
namespace {

using namespace std::chrono_literals;

// Leaves the microphone as it is; counts the canceller frames it is given.
class PassingCanceller final : public EchoCanceller {
public:
    explicit PassingCanceller(std::atomic<int>& frames) : frames_(frames) {}
    void process(float*, const float*) noexcept override { ++frames_; }

private:
    std::atomic<int>& frames_;
};

class EchoCancellationSessionTest : public CaptureFixture {
protected:
    EchoCancellationSessionTest() {
        endpoints.makeEchoCanceller = [this] {
            ++made;
            return std::make_unique<PassingCanceller>(frames);
        };
    }
    // Records a second, stops, and says what the finished sidecar holds.
    std::optional<bool> recordedEchoCancellation(CaptureSession& session) {
        scheduler.advance(1s);
        session.stop();
        return CaptureSidecar::read(*session.sidecarURL()).echoCancelled;
    }

    int made = 0;
    std::atomic<int> frames{0};
};

// On while the output is not personal; never when turned off.
TEST_F(EchoCancellationSessionTest, RunsWhileTheOutputIsNotPersonalAndTheSidecarSaysWhetherItRan) {
    auto session = makeSession();
    session->start();
    scheduler.advance(1s);
    EXPECT_GT(frames.load(), 90);
    devices.setDefaultOutput(kHeadset, true);
    scheduler.runUntilIdle();
    const int before = frames.load();
    scheduler.advance(1s);
    EXPECT_EQ(frames.load(), before);
    devices.setDefaultOutput(kSpeaker);
    scheduler.runUntilIdle();
    EXPECT_TRUE(session->mixer()->echoCancellationOn());
    EXPECT_EQ(recordedEchoCancellation(*session), true);

    made = frames = 0;
    auto off = makeSession(false);
    off->start();
    EXPECT_EQ(recordedEchoCancellation(*off), false);
    EXPECT_EQ(made, 0);
}

// Another microphone's echo is learnt afresh; another output leaves the canceller as it is.
TEST_F(EchoCancellationSessionTest, ANewMicrophoneGetsAFreshCanceller) {
    auto session = makeSession();
    session->start();
    devices.setDefaultOutput(kDisplay);
    scheduler.advance(1s);
    EXPECT_EQ(made, 1);
    devices.setDefaultInput(kHeadset);
    scheduler.advance(1s);
    EXPECT_EQ(made, 2);
    const int before = frames.load();
    scheduler.advance(1s);
    EXPECT_GT(frames.load(), before);
    session->stop();
}

}  // namespace
}  // namespace kavo::testing

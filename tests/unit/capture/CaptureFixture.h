#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Log.h"
#include "capture/CaptureSession.h"
#include "support/FakeAudioDevices.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/ManualScheduler.h"
#include "support/TempDir.h"

namespace kavo::testing {

// Default devices (built-in microphone and speakers), fake endpoints and one manual
// scheduler that is both the control queue and the mixer's queue.
class CaptureFixture : public ::testing::Test {
protected:
    static constexpr const char* kBuiltInMic = "BuiltInMic";
    static constexpr const char* kSpeaker = "BuiltInSpeaker";
    static constexpr const char* kHeadset = "USBHeadset";
    static constexpr const char* kDisplay = "HDMIDisplay";
    using Calls = std::vector<std::string>;

    CaptureFixture() {
        setDefaults(kBuiltInMic, kSpeaker);
        scheduler.runUntilIdle();
    }

    void setDefaults(std::optional<std::string> input, std::optional<std::string> output) {
        devices.setDefaultInput(std::move(input));
        devices.setDefaultOutput(std::move(output));
    }

    std::shared_ptr<CaptureSession> makeSession(bool echoCancellation = true) {
        return CaptureSession::create({.directory = temp / "Captures",
                                       .factory = endpoints.factory(),
                                       .devices = devices,
                                       .clock = clock,
                                       .control = &scheduler,
                                       .mixerQueue = &scheduler,
                                       .usesTimers = true,
                                       .captureId = {},
                                       .echoCancellation = echoCancellation});
    }

    // What the capture session (and its device watch) logged at `level`.
    std::vector<std::string> logged(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& entry : logs.entries())
            if (entry.category == "CaptureSession" && entry.level == level)
                result.push_back(entry.message);
        return result;
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    FakeAudioDevices devices;
    FakeCaptureEndpoints endpoints{clock};
    TempDir temp;
    LogCapture logs;
};

}  // namespace kavo::testing

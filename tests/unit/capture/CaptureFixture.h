#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/ManualScheduler.h"
#include "capture/CaptureSession.h"
#include "support/FakeAudioHardware.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/TempDir.h"

namespace kavo::testing {

// Four devices (built-in microphone and speakers the defaults), fake endpoints and one
// manual scheduler that is both the control queue and the mixer's queue.
class CaptureFixture : public ::testing::Test {
protected:
    static constexpr AudioObjectID kBuiltInMic = 10, kSpeaker = 11, kHeadset = 12, kDisplay = 13;
    using Calls = std::vector<std::string>;

    CaptureFixture() {
        addDevice(kBuiltInMic, "BuiltInMic");
        addDevice(kSpeaker, "BuiltInSpeaker");
        addDevice(kHeadset, "USBHeadset");
        addDevice(kDisplay, "HDMIDisplay");
        setDefaults(kBuiltInMic, kSpeaker);
        scheduler.runUntilIdle();
    }

    void addDevice(AudioObjectID id, std::optional<std::string> uid) {
        hardware.addDevice(
            {.id = id, .uid = std::move(uid), .nominalRate = 48'000, .subDevices = {}});
    }
    void setDefaults(AudioObjectID input, AudioObjectID output) {
        hardware.setDefaultInput(input);
        hardware.setDefaultOutput(output);
    }

    std::shared_ptr<CaptureSession> makeSession(std::string captureId = {}) {
        return CaptureSession::create({.directory = temp / "Captures",
                                       .factory = endpoints.factory(),
                                       .hardware = hardware,
                                       .clock = clock,
                                       .readDeviceSnapshot = {},
                                       .control = &scheduler,
                                       .mixerQueue = &scheduler,
                                       .usesTimers = true,
                                       .captureId = std::move(captureId)});
    }

    // What the capture session (and its device watch) logged at `level`.
    std::vector<std::string> logged(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& entry : logs.entries()) {
            if (entry.category == "CaptureSession" && entry.level == level)
                result.push_back(entry.message);
        }
        return result;
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    FakeAudioHardware hardware{clock};
    FakeCaptureEndpoints endpoints{clock};
    TempDir temp;
    LogCapture logs;
};

}  // namespace kavo::testing

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "PulseTestSupport.h"
#include "platform/linux/PulseAudioEngine.h"
#include "platform/linux/PulseAudioHardware.h"
#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::CallCounter;
using namespace std::chrono_literals;

class PulseDeviceEventsTest : public pulse_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        pulse_.emplace();
        hardware_.emplace(*pulse_);
    }
    void TearDown() override {
        hardware_.reset();
        pulse_.reset();
        DaemonTest::TearDown();
    }

    ListenerRegistration listen(AudioObjectPropertySelector selector, CallCounter& counter) {
        auto installed = hardware_->addPropertyListener(kAudioObjectSystemObject, selector, queue_,
                                                        counter.callback());
        EXPECT_EQ(installed.status, kAudioNoError);
        return std::move(installed.registration);
    }
    // Every event the server has sent so far has reached the listeners' queue and run.
    void settle() {
        ASSERT_TRUE(pulse_->serverInfo());
        std::this_thread::sleep_for(100ms);
        queue_.sync([] {});
    }
    std::string uidOf(AudioObjectPropertySelector selector) const {
        const auto device = hardware_->readDeviceID(kAudioObjectSystemObject, selector);
        if (!device.ok() || device.value == kAudioObjectUnknown) return "none";
        return hardware_->readDeviceUID(device.value).value;
    }

    SerialQueue queue_{"pulse-test.listeners"};
    std::optional<PulseContext> pulse_;
    std::optional<PulseAudioHardware> hardware_;
};

TEST_F(PulseDeviceEventsTest, DefaultsReadByNameAndOurOwnDevicesReadAsAbsent) {
    EXPECT_EQ(uidOf(audio_property::kDefaultInputDevice), "mic");
    EXPECT_EQ(uidOf(audio_property::kDefaultOutputDevice), "speakers");
    EXPECT_NE(hardware_->sinkID("speakers"), hardware_->sourceID("speakers"));
    EXPECT_GT(hardware_->readNominalSampleRate(hardware_->sourceID("mic")).value, 0);

    daemon_->loadNullSink("brindle.meetings.desktop.loopback");
    daemon_->pactl({"set-default-sink", "brindle.meetings.desktop.loopback"});
    const auto output =
        hardware_->readDeviceID(kAudioObjectSystemObject, audio_property::kDefaultOutputDevice);
    EXPECT_TRUE(output.ok());
    EXPECT_EQ(output.value, kAudioObjectUnknown);
    EXPECT_EQ(hardware_->readDeviceUID(9999).status, PulseAudioHardware::kBadObject);
}

TEST_F(PulseDeviceEventsTest, DefaultSinkChangedMidRecordingCallsOnlyTheOutputListener) {
    CallCounter input, output, devices;
    auto inputRegistration = listen(audio_property::kDefaultInputDevice, input);
    auto outputRegistration = listen(audio_property::kDefaultOutputDevice, output);
    daemon_->loadNullSink("headset");
    auto music = daemon_->play("speakers", daemon_->tone(1000, 3));
    settle();
    auto devicesRegistration = listen(audio_property::kDeviceList, devices);

    daemon_->pactl({"set-default-sink", "headset"});
    ASSERT_TRUE(output.waitFor(1));
    settle();
    EXPECT_EQ(output.count(), 1);
    EXPECT_EQ(input.count(), 0);
    EXPECT_EQ(devices.count(), 0);
    EXPECT_EQ(uidOf(audio_property::kDefaultOutputDevice), "headset");

    daemon_->pactl({"set-default-source", "micsrc.monitor"});
    ASSERT_TRUE(input.waitFor(1));
    // A removed registration is not called again.
    outputRegistration.remove();
    daemon_->pactl({"set-default-sink", "speakers"});
    settle();
    EXPECT_EQ(output.count(), 1);
}

TEST_F(PulseDeviceEventsTest, SinksRemovedCallTheDeviceListListenerAndTheDefaultMovesOn) {
    const std::string spare = daemon_->loadNullSink("spare");
    const std::string usb = daemon_->loadNullSink("usb");
    daemon_->pactl({"set-default-sink", "usb"});
    settle();
    CallCounter devices, output;
    auto devicesRegistration = listen(audio_property::kDeviceList, devices);
    auto outputRegistration = listen(audio_property::kDefaultOutputDevice, output);

    daemon_->pactl({"unload-module", spare});
    ASSERT_TRUE(devices.waitFor(1));
    settle();
    EXPECT_EQ(output.count(), 0);  // not the default: it stays

    daemon_->pactl({"unload-module", usb});
    ASSERT_TRUE(output.waitFor(1));
    const std::string now = uidOf(audio_property::kDefaultOutputDevice);
    EXPECT_NE(now, "usb");
    EXPECT_NE(now, "none");
}

TEST_F(PulseDeviceEventsTest, MicrophoneConfigurationChangesReachTheHandlerWithoutTheServerLock) {
    auto engine = std::make_unique<PulseAudioEngine>(*pulse_, *hardware_);
    PulseAudioEngine& engineRef = *engine;
    EXPECT_THROW(engine->setVoiceProcessingEnabled(true), Error);
    EXPECT_FALSE(engine->isVoiceProcessingEnabled());
    const AudioFormat format = engine->inputNodeOutputFormat();
    ASSERT_GT(format.sampleRate, 0);
    EXPECT_EQ(engine->boundSource(), "mic");
    engine->installInputTap(1024, format, [](const AudioBufferList&, const AudioTimeStamp&) {});
    engine->start();
    EXPECT_TRUE(engine->isRunning());

    // The handler queries the server, as the microphone's own handler does: that only
    // answers when the handler does not run under the connection's lock.
    std::atomic<double> rate{0};
    CallCounter changes;
    auto handler = changes.callback();
    auto registration = engine->observeConfigurationChanges([&] {
        double none = 0;  // the first call's answer
        rate.compare_exchange_strong(none, engineRef.inputNodeInputFormat().sampleRate);
        handler();
    });
    daemon_->pactl({"suspend-source", "mic", "1"});
    ASSERT_TRUE(changes.waitFor(1));
    EXPECT_GT(rate.load(), 0);
    registration.remove();
    engine->stop();
    engine->removeInputTap();
    EXPECT_FALSE(engine->isRunning());
    // A call handed on before the removal may still be on its way; the engine's going
    // waits for it, while what it reaches is still here.
    engine.reset();
}

}  // namespace
}  // namespace kavo::linux_platform

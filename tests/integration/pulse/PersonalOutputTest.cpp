#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "PulseTestSupport.h"
#include "platform/linux/PulseDeviceWatch.h"

namespace kavo::linux_platform {
namespace {

class PersonalOutputTest : public pulse_test::DaemonTest {};

TEST_F(PersonalOutputTest, AHeadsetOrHeadphonesOutputIsPersonal) {
    PulseContext pulse;
    PulseDeviceWatch watch(pulse);
    daemon_->pactl({"load-module", "module-null-sink", "sink_name=headset",
                    "sink_properties=device.form_factor=headset"});
    daemon_->pactl({"set-default-sink", "headset"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(watch.defaults().defaultOutputUID, "headset");
    EXPECT_TRUE(watch.defaults().outputIsPersonal);
}

// Headphones plugged into the speakers' jack change the active port of the default sink and
// so its properties, not the default itself; pacmd changes them as the port would.
// PulseAudio only: pipewire-pulse has no pacmd.
TEST_F(PersonalOutputTest, TheSameOutputTurningPersonalAndBackIsNews) {
    PulseContext pulse;
    PulseDeviceWatch watch(pulse);
    std::atomic<int> news{0};
    const auto registration = watch.observe([&](std::string_view) { ++news; });
    const auto newsAfter = [&](int count) {
        for (int i = 0; i < 200 && news < count; ++i) {
            watch.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return news.load();
    };
    daemon_->pactl({"load-module", "module-cli-protocol-unix"});
    const auto formFactor = [&](const std::string& form) {
        ASSERT_EQ(testing::PulseDaemon::run(
                      {"pacmd", "update-sink-proplist", "speakers", "device.form_factor=" + form})
                      .status,
                  0);
    };

    formFactor("headphone");
    EXPECT_EQ(newsAfter(1), 1);
    EXPECT_TRUE(watch.defaults().outputIsPersonal);

    formFactor("speaker");
    EXPECT_EQ(newsAfter(2), 2);
    EXPECT_FALSE(watch.defaults().outputIsPersonal);
}

}  // namespace
}  // namespace kavo::linux_platform

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "PulseTestSupport.h"
#include "platform/linux/PulseDeviceWatch.h"

namespace kavo::linux_platform {
namespace {

class PersonalOutputTest : public pulse_test::DaemonTest {};

TEST_F(PersonalOutputTest, AHeadsetOrHeadphonesOutputIsPersonal) {
    PulseContext pulse;
    PulseDeviceWatch watch(pulse);
    EXPECT_FALSE(watch.defaults().outputIsPersonal);
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
    std::mutex mutex;
    std::vector<std::string> news;
    const auto registration = watch.observe([&](std::string_view what) {
        const std::lock_guard lock(mutex);
        news.emplace_back(what);
    });
    const auto newsAfter = [&](std::size_t count) {
        for (int i = 0; i < 200; ++i) {
            watch.flush();
            {
                const std::lock_guard lock(mutex);
                if (news.size() >= count) return news;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::lock_guard lock(mutex);
        return news;
    };
    daemon_->pactl({"load-module", "module-cli-protocol-unix"});
    const auto formFactor = [&](const std::string& form) {
        ASSERT_EQ(testing::PulseDaemon::run(
                      {"pacmd", "update-sink-proplist", "speakers", "device.form_factor=" + form})
                      .status,
                  0);
    };

    formFactor("headphone");
    EXPECT_EQ(newsAfter(1), std::vector<std::string>{"deviceList"});
    EXPECT_TRUE(watch.defaults().outputIsPersonal);

    // A change that leaves it personal, as a volume change does, is no news.
    daemon_->pactl({"set-sink-volume", "speakers", "50%"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(newsAfter(1).size(), 1U);
    formFactor("speaker");
    EXPECT_EQ(newsAfter(2), (std::vector<std::string>{"deviceList", "deviceList"}));
    EXPECT_FALSE(watch.defaults().outputIsPersonal);
}

}  // namespace
}  // namespace kavo::linux_platform

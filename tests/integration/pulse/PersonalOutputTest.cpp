#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kavo::linux_platform

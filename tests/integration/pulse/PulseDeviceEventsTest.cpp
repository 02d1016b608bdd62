#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "PulseTestSupport.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseDeviceWatch.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;

class PulseDeviceEventsTest : public pulse_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        pulse_.emplace();
        watch_.emplace(*pulse_);
        registration_ = watch_->observe([this](std::string_view what) {
            std::lock_guard lock(mutex_);
            news_.emplace_back(what);
        });
    }
    void TearDown() override {
        registration_.remove();
        watch_.reset();
        pulse_.reset();
        DaemonTest::TearDown();
    }

    // Every event the server has sent so far has been handed on.
    void settle() {
        ASSERT_TRUE(pulse_->serverInfo());
        std::this_thread::sleep_for(200ms);
        watch_->flush();
    }
    std::vector<std::string> takeNews() {
        std::lock_guard lock(mutex_);
        return std::exchange(news_, {});
    }

    std::optional<PulseContext> pulse_;
    std::optional<PulseDeviceWatch> watch_;
    ListenerRegistration registration_;
    std::mutex mutex_;
    std::vector<std::string> news_;
};

TEST_F(PulseDeviceEventsTest, DefaultsAreReadByNameAndAMonitorIsNoMicrophone) {
    EXPECT_EQ(watch_->defaults(), (AudioDeviceSnapshot{"mic", "speakers"}));
    daemon_->pactl({"set-default-source", "speakers.monitor"});
    settle();
    EXPECT_EQ(watch_->defaults(), (AudioDeviceSnapshot{std::nullopt, "speakers"}));
    EXPECT_EQ(takeNews(), std::vector<std::string>{"defaultInputDevice"});
}

TEST_F(PulseDeviceEventsTest, EachDefaultMovedIsToldOnceAndNothingAfterTheRegistrationGoes) {
    daemon_->loadNullSink("headset");
    settle();
    const auto added = takeNews();  // the sink and its monitor
    ASSERT_FALSE(added.empty());
    EXPECT_EQ(std::count(added.begin(), added.end(), "deviceList"),
              static_cast<std::ptrdiff_t>(added.size()));

    daemon_->pactl({"set-default-sink", "headset"});
    settle();
    EXPECT_EQ(takeNews(), std::vector<std::string>{"defaultOutputDevice"});
    EXPECT_EQ(watch_->defaults().defaultOutputUID, "headset");

    registration_.remove();
    daemon_->pactl({"set-default-sink", "speakers"});
    settle();
    EXPECT_TRUE(takeNews().empty());
}

TEST_F(PulseDeviceEventsTest, TheDefaultSinkRemovedIsToldAndTheDefaultMovesOn) {
    const std::string usb = daemon_->loadNullSink("usb");
    daemon_->pactl({"set-default-sink", "usb"});
    settle();
    takeNews();

    daemon_->pactl({"unload-module", usb});
    settle();
    const auto news = takeNews();
    EXPECT_NE(std::find(news.begin(), news.end(), "deviceList"), news.end());
    EXPECT_NE(std::find(news.begin(), news.end(), "defaultOutputDevice"), news.end());
    const auto now = watch_->defaults().defaultOutputUID;
    ASSERT_TRUE(now);
    EXPECT_NE(*now, "usb");
}

}  // namespace
}  // namespace kavo::linux_platform

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "PulseTestSupport.h"
#include "platform/linux/PulseConferenceActivitySource.h"
#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;
const std::set<std::string> kZoom{"zoom"};

// A conference activity source watching the test's server, reporting to its main queue.
class PulseConferenceActivityTest : public pulse_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        pulse_.emplace();
        source_.emplace(*pulse_, main_, ::getpid());
        source_->setOnChange([this](const ConferenceActivity& activity) {
            std::lock_guard lock(mutex_);
            seen_.push_back(activity.apps);
            changed_.notify_all();
        });
    }
    bool waitForReports(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 8s, [&] { return seen_.size() >= count; });
    }
    std::vector<std::set<std::string>> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    // Whatever the server has reported so far has been evaluated and applied.
    void settle() {
        std::this_thread::sleep_for(300ms);
        source_->flush();
        main_.sync([] {});
    }
    static testing::PulseDaemon::Process fakeZoom(const std::string& device) {
        return testing::PulseDaemon::spawn({"parec", "--device=" + device,
                                            "--property=application.process.binary=zoom",
                                            "--property=application.name=ZOOM VoiceEngine"});
    }
    // Until the server lists a stand-in's stream on `source`.
    bool waitForZoomOn(const std::string& source) const {
        for (const auto deadline = std::chrono::steady_clock::now() + 8s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
            const auto info = pulse_->sourceInfo(source);
            for (const auto& output :
                 pulse_->sourceOutputs().value_or(std::vector<PulseSourceOutputInfo>{})) {
                const auto binary = output.properties.find(PA_PROP_APPLICATION_PROCESS_BINARY);
                if (info && output.source == info->index && binary != output.properties.end() &&
                    binary->second == "zoom")
                    return true;
            }
        }
        return false;
    }

    SerialQueue main_{"pulse-test.main"};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::set<std::string>> seen_;
    std::optional<PulseContext> pulse_;
    std::optional<PulseConferenceActivitySource> source_;
};

// A recording of a monitor does not hold the microphone; a remapped microphone's own
// module stream runs all along and never counts.
TEST_F(PulseConferenceActivityTest, FakeZoomOnTheMicrophoneIsReportedAndThenGone) {
    source_->start();
    auto onMonitor = fakeZoom("speakers.monitor");
    ASSERT_TRUE(waitForZoomOn("speakers.monitor"));
    settle();
    settle();
    EXPECT_TRUE(seen().empty());

    auto zoom = fakeZoom("mic");
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(seen().at(0), kZoom);
    EXPECT_EQ(source_->current().apps, kZoom);
    zoom.stop();
    ASSERT_TRUE(waitForReports(2));
    EXPECT_TRUE(seen().at(1).empty());

    // Stopped, it reports nothing more.
    source_->stop();
    auto again = fakeZoom("mic");
    ASSERT_TRUE(waitForZoomOn("mic"));
    settle();
    EXPECT_EQ(seen().size(), 2U);
}

}  // namespace
}  // namespace kavo::linux_platform

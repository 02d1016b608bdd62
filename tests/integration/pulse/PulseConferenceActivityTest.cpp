#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/Log.h"
#include "base/SerialQueue.h"
#include "platform/linux/PulseConferenceActivitySource.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseRecordStream.h"
#include "support/PulseDaemon.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;

// The activities the source handed to the main thread, in order.
class Reports {
public:
    ConferenceActivitySource::ChangeHandler handler() {
        return [this](const ConferenceActivity& activity) {
            std::lock_guard lock(mutex_);
            seen_.push_back(activity);
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 8s, [&] { return seen_.size() >= count; });
    }
    std::vector<ConferenceActivity> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConferenceActivity> seen_;
};

class PulseConferenceActivityTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            daemon_.emplace();
        } catch (const std::exception& error) {
            FAIL() << "The test audio server did not start: " << error.what();
        }
        pulse_ = std::make_unique<PulseContext>();
        source_ = std::make_unique<PulseConferenceActivitySource>(*pulse_, main_, ::getpid());
        source_->setOnChange(reports_.handler());
    }

    void TearDown() override {
        source_.reset();
        pulse_.reset();
        daemon_.reset();
    }

    // Whatever the server has reported so far has been evaluated and applied.
    void settle() {
        std::this_thread::sleep_for(300ms);
        source_->flush();
        main_.sync([] {});
    }

    static testing::PulseDaemon::Process fakeZoom(const std::string& device) {
        return testing::PulseDaemon::spawn({"parec", "--device=" + device, "--property=application.process.binary=zoom",
                                            "--property=application.name=ZOOM VoiceEngine"});
    }

    std::optional<testing::PulseDaemon> daemon_;
    SerialQueue main_{"pulse-test.main"};
    Reports reports_;
    std::unique_ptr<PulseContext> pulse_;
    std::unique_ptr<PulseConferenceActivitySource> source_;
};

TEST_F(PulseConferenceActivityTest, FakeZoomOnTheMicrophoneIsReportedAndThenGone) {
    LogCapture logs;
    source_->start();
    settle();
    // The remapped microphone's own module stream is running all along and never counts.
    EXPECT_TRUE(reports_.seen().empty());
    EXPECT_TRUE(source_->current().apps.empty());

    auto zoom = fakeZoom("mic");
    ASSERT_TRUE(reports_.waitFor(1));
    EXPECT_EQ(reports_.seen().at(0).apps, std::set<std::string>{"us.zoom.xos"});
    EXPECT_EQ(source_->current().apps, std::set<std::string>{"us.zoom.xos"});

    zoom.terminate();
    ASSERT_TRUE(reports_.waitFor(2));
    EXPECT_TRUE(reports_.seen().at(1).apps.empty());
    settle();
    EXPECT_EQ(reports_.seen().size(), 2U);
    EXPECT_TRUE(logs.contains("ConferenceAudioMonitor", "Conferencing apps holding the microphone: us.zoom.xos"));
    EXPECT_TRUE(logs.contains("ConferenceAudioMonitor", "Conferencing apps holding the microphone: none"));
}

TEST_F(PulseConferenceActivityTest, MonitorRecordingsAndOurOwnStreamsAreNotReported) {
    source_->start();
    auto onMonitor = fakeZoom("speakers.monitor");
    // Our own process recording the microphone under a conferencing name.
    PulseContext second("ZOOM VoiceEngine");
    const auto mic = pulse_->sourceInfo("mic");
    ASSERT_TRUE(mic);
    PulseRecordStream own(second, {.sourceName = "mic", .rate = mic->rate, .channels = mic->channels},
                          [](const AudioBufferList&, const AudioTimeStamp&) {}, nullptr);
    settle();
    settle();
    EXPECT_TRUE(reports_.seen().empty());

    // The same source still sees a real one.
    auto zoom = fakeZoom("mic");
    ASSERT_TRUE(reports_.waitFor(1));
    EXPECT_EQ(reports_.seen().at(0).apps, std::set<std::string>{"us.zoom.xos"});
}

TEST_F(PulseConferenceActivityTest, StoppedSourceReportsNothing) {
    source_->start();
    settle();
    source_->stop();
    auto zoom = fakeZoom("mic");
    settle();
    settle();
    EXPECT_TRUE(reports_.seen().empty());
}

}  // namespace
}  // namespace kavo::linux_platform

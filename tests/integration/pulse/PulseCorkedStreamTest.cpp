#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/SerialQueue.h"
#include "platform/linux/PulseConferenceActivitySource.h"
#include "platform/linux/PulseContext.h"
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

class PulseCorkedStreamTest : public ::testing::Test {
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

    // Whether the server lists a stream of the app "zoom" on the microphone, and corked or not.
    std::optional<bool> zoomCorked() const {
        const auto outputs = pulse_->sourceOutputs();
        const auto mic = pulse_->sourceInfo("mic");
        if (!outputs || !mic) return std::nullopt;
        for (const auto& output : *outputs) {
            const auto binary = output.properties.find(PA_PROP_APPLICATION_PROCESS_BINARY);
            if (output.source == mic->index && binary != output.properties.end() &&
                binary->second == "zoom") {
                return output.corked;
            }
        }
        return std::nullopt;
    }

    bool waitForZoom(bool corked) const {
        const auto deadline = std::chrono::steady_clock::now() + 8s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (zoomCorked() == corked) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    std::optional<testing::PulseDaemon> daemon_;
    SerialQueue main_{"pulse-test.main"};
    Reports reports_;
    std::unique_ptr<PulseContext> pulse_;
    std::unique_ptr<PulseConferenceActivitySource> source_;
};

TEST_F(PulseCorkedStreamTest, CorkedRecordingDoesNotHoldTheMicrophoneUntilItIsUncorked) {
    source_->start();
    settle();
    auto zoom =
        testing::PulseDaemon::spawn({KAVO_TEST_RECORDER, "mic", "zoom", "ZOOM VoiceEngine"});
    // A conferencing app between calls: its stream on the microphone exists, paused.
    ASSERT_TRUE(waitForZoom(true)) << "the stand-in app's corked stream never showed up";
    settle();
    settle();
    EXPECT_TRUE(reports_.seen().empty());
    EXPECT_TRUE(source_->current().apps.empty());

    // The call starts: the same stream runs.
    ::kill(zoom.pid(), SIGUSR1);
    ASSERT_TRUE(waitForZoom(false));
    ASSERT_TRUE(reports_.waitFor(1));
    EXPECT_EQ(reports_.seen().at(0).apps, std::set<std::string>{"us.zoom.xos"});
    EXPECT_EQ(source_->current().apps, std::set<std::string>{"us.zoom.xos"});

    // The call ends and the app pauses the stream again, without closing it.
    ::kill(zoom.pid(), SIGUSR2);
    ASSERT_TRUE(waitForZoom(true));
    ASSERT_TRUE(reports_.waitFor(2));
    EXPECT_TRUE(reports_.seen().at(1).apps.empty());
    EXPECT_TRUE(source_->current().apps.empty());
}

}  // namespace
}  // namespace kavo::linux_platform

#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PulseTestSupport.h"
#include "base/SerialQueue.h"
#include "platform/linux/PulseConferenceActivitySource.h"
#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform::pulse_test {

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
        return changed_.wait_for(lock, std::chrono::seconds(8), [&] { return seen_.size() >= count; });
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

// A conference activity source watching the test's server, reporting to its main queue.
class ConferenceActivityTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        pulse_ = std::make_unique<PulseContext>();
        source_ = std::make_unique<PulseConferenceActivitySource>(*pulse_, main_, ::getpid());
        source_->setOnChange(reports_.handler());
    }

    void TearDown() override {
        source_.reset();
        pulse_.reset();
        DaemonTest::TearDown();
    }

    // Whatever the server has reported so far has been evaluated and applied.
    void settle() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        source_->flush();
        main_.sync([] {});
    }

    SerialQueue main_{"pulse-test.main"};
    Reports reports_;
    std::unique_ptr<PulseContext> pulse_;
    std::unique_ptr<PulseConferenceActivitySource> source_;
};

}  // namespace kavo::linux_platform::pulse_test

#include <gtest/gtest.h>

#include <QtTest/QTest>

#include "app/shell/QtMainScheduler.h"
#include "support/SchedulerContract.h"

namespace kavo::testing {
namespace {

using namespace std::chrono_literals;

// The test runs on the GUI thread: waiting runs its event loop.
struct QtMainSchedulerRig {
    QtMainScheduler scheduler;
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(QtMainScheduler, SchedulerContract, QtMainSchedulerRig);

TEST(QtMainScheduler, DestroyingItDropsWhatIsPending) {
    bool ran = false;
    TimerHandle once;
    TimerHandle repeating;
    {
        QtMainScheduler main;
        main.post([&] { ran = true; });
        once = main.after(1ms, [&] { ran = true; });
        repeating = main.every(1ms, 0ms, [&] { ran = true; });
    }
    QTest::qWait(30);
    EXPECT_FALSE(ran);
    // Handles outliving their scheduler stay harmless to cancel.
    once.cancel();
    repeating.cancel();
}

}  // namespace
}  // namespace kavo::testing

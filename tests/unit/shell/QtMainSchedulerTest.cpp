#include <gtest/gtest.h>

#include <QtTest/QTest>

#include "app/shell/QtMainScheduler.h"
#include "support/SchedulerContract.h"

namespace kavo::testing {
namespace {

// The test runs on the GUI thread: waiting runs its event loop.
struct QtMainSchedulerRig {
    QtMainScheduler scheduler;
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(QtMainScheduler, SchedulerContract, QtMainSchedulerRig);

}  // namespace
}  // namespace kavo::testing

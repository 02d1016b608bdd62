#include <gtest/gtest.h>

#include <QtTest/QTest>

#include "app/shell/QtMainScheduler.h"
#include "support/SchedulerContract.h"

namespace kavo::testing {
namespace {

// The test runs on the GUI thread: waiting runs its event loop.
struct QtMainSchedulerRig {
    QtMainScheduler scheduler;
    void pump() { QTest::qWait(1); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(QtMainScheduler, SchedulerContract, QtMainSchedulerRig);

}  // namespace
}  // namespace kavo::testing

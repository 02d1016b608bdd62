#include <gtest/gtest.h>

#include <thread>

#include "base/SerialQueue.h"
#include "support/SchedulerContract.h"

namespace kavo::testing {
namespace {

struct SerialQueueRig {
    SerialQueue scheduler{"contract"};
    void pump() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(SerialQueue, SchedulerContract, SerialQueueRig);

}  // namespace
}  // namespace kavo::testing

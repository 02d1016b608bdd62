#include <gtest/gtest.h>

#include <thread>

#include "base/SerialQueue.h"
#include "support/SchedulerContract.h"

namespace kavo::testing {
namespace {

struct SerialQueueRig {
    SerialQueue scheduler{"contract"};
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(SerialQueue, SchedulerContract, SerialQueueRig);

}  // namespace
}  // namespace kavo::testing

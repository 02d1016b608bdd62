#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/endpoints/RebuildSignal.h"

namespace kavo {
namespace {

using Reason = EndpointRebuildReason;

TEST(RebuildSignal, HandsEachReasonOnFromItsOwnThreadMergingRepeatsRaisedMeanwhile) {
    std::mutex mutex;
    std::vector<Reason> handed;
    std::vector<std::thread::id> threads;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;

    RebuildSignal signal([&](Reason reason) {
        {
            std::lock_guard lock(mutex);
            handed.push_back(reason);
            threads.push_back(std::this_thread::get_id());
        }
        if (std::exchange(first, false)) {
            entered.set_value();
            released.wait();
        }
    });

    signal.raise(Reason::routeFormatChanged);
    entered.get_future().wait();
    for (int i = 0; i < 3; ++i) signal.raise(Reason::routeFormatChanged);
    signal.raise(Reason::deviceChanged);
    release.set_value();
    signal.flush();

    std::lock_guard lock(mutex);
    EXPECT_EQ(handed, (std::vector<Reason>{Reason::routeFormatChanged, Reason::deviceChanged,
                                           Reason::routeFormatChanged}));
    for (const auto id : threads) EXPECT_NE(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace kavo

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "audio/endpoints/RebuildSignal.h"

namespace kavo {
namespace {

using Reason = EndpointRebuildReason;

TEST(RebuildSignal, HandsEachReasonOnFromItsOwnThreadMergingRepeatsRaisedMeanwhile) {
    std::vector<std::pair<Reason, std::thread::id>> handed;
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    RebuildSignal signal([&](Reason reason) {
        handed.emplace_back(reason, std::this_thread::get_id());
        if (handed.size() == 1) {
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
    ASSERT_EQ(handed.size(), 3U);
    EXPECT_EQ(handed[1].first, Reason::deviceChanged);
    EXPECT_EQ(handed[2].first, Reason::routeFormatChanged);
    for (const auto& [reason, thread] : handed) EXPECT_NE(thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace kavo

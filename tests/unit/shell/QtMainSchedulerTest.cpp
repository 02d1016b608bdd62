#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QtTest/QTest>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/shell/QtMainScheduler.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs the GUI thread's event loop until `done`, or for at most five seconds.
template <typename Predicate>
bool runLoopUntil(Predicate done) {
    return QTest::qWaitFor(done, 5000);
}

void runLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool onGuiThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

TEST(QtMainScheduler, TasksPostedFromAnyThreadRunOnTheGuiThreadInTheirOrder) {
    QtMainScheduler main;
    std::vector<int> ran;
    bool allOnMain = true;
    bool posterSawCurrent = true;
    const auto post = [&](int i) {
        main.post([&, i] {
            allOnMain = allOnMain && main.isCurrent() && onGuiThread();
            ran.push_back(i);
        });
    };
    post(-1);
    EXPECT_TRUE(ran.empty()) << "nothing runs before the loop does";
    std::thread poster([&] {
        posterSawCurrent = main.isCurrent();
        for (int i = 0; i < 200; ++i) post(i);
    });
    const bool allRan = runLoopUntil([&] { return ran.size() == 201; });
    poster.join();
    ASSERT_TRUE(allRan);
    EXPECT_FALSE(posterSawCurrent);
    for (int i = 0; i < 201; ++i) EXPECT_EQ(ran[i], i - 1);
    EXPECT_TRUE(allOnMain);
}

TEST(QtMainScheduler, TimersFireOnTheGuiThreadAfterTheirDelayUntilCancelledOrDropped) {
    QtMainScheduler main;
    const auto start = SteadyClock::now();
    SteadyClock::time_point firedAt{};
    int stopped = 0;
    int firings = 0;
    int foreignFirings = 0;
    bool allOnMain = true;
    TimerHandle kept = main.after(40ms, [&] { firedAt = SteadyClock::now(); });
    TimerHandle toCancel = main.after(20ms, [&] { ++stopped; });
    {
        TimerHandle toDrop = main.after(20ms, [&] { ++stopped; });
    }
    EXPECT_TRUE(toCancel.isActive());
    toCancel.cancel();
    EXPECT_FALSE(toCancel.isActive());
    TimerHandle repeating;
    repeating = main.every(10ms, 0ms, [&] {
        if (++firings == 3) repeating.cancel();  // from its own task
    });
    // Asked for, or cancelled before it started, from another thread.
    TimerHandle foreignOnce;
    TimerHandle foreignRepeating;
    std::thread([&] {
        const auto count = [&] {
            allOnMain = allOnMain && onGuiThread();
            ++foreignFirings;
        };
        foreignOnce = main.after(5ms, count);
        foreignRepeating = main.every(5ms, 1ms, count);
        TimerHandle handle = main.after(1ms, [&] { ++stopped; });
        handle.cancel();
    }).join();

    ASSERT_TRUE(runLoopUntil([&] {
        return firedAt != SteadyClock::time_point{} && firings >= 3 && foreignFirings >= 3;
    }));
    EXPECT_GE(firedAt - start, 40ms);
    foreignRepeating.cancel();
    const int foreignAtCancel = foreignFirings;
    runLoopFor(60ms);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(firings, 3);
    EXPECT_EQ(foreignFirings, foreignAtCancel);
    EXPECT_TRUE(allOnMain);
}

TEST(QtMainScheduler, SyncWaitsForTheLoopFromElsewhereAndRunsInPlaceOnTheGuiThread) {
    QtMainScheduler main;
    std::vector<int> order;
    main.post([&] { order.push_back(2); });
    // No event loop is running: a queued sync here would never return.
    main.sync([&] { order.push_back(1); });
    EXPECT_EQ(order, (std::vector{1}));

    bool ranOnMain = false;
    bool seenByCaller = false;
    std::string error;
    bool done = false;
    std::thread caller([&] {
        main.sync([&] { ranOnMain = onGuiThread(); });
        seenByCaller = ranOnMain;  // the task has run by the time sync returns
        try {
            main.sync([] { throw std::runtime_error("refused"); });
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        main.post([&] { done = true; });
    });
    ASSERT_TRUE(runLoopUntil([&] { return done; }));
    caller.join();
    EXPECT_EQ(order, (std::vector{1, 2}));
    EXPECT_TRUE(seenByCaller);
    EXPECT_EQ(error, "refused");
}

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
    runLoopFor(30ms);
    EXPECT_FALSE(ran);
    // Handles outliving their scheduler stay harmless to cancel.
    once.cancel();
    repeating.cancel();
}

}  // namespace
}  // namespace kavo

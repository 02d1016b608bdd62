#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QtTest/QTest>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/shell/QtMainScheduler.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs the GUI thread's event loop until `done` or a generous limit; false on the limit.
template <typename Predicate>
bool runLoopUntil(Predicate done, std::chrono::milliseconds limit = 5s) {
    return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

// Runs a real nested event loop for `duration`.
void runLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool onGuiThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

TEST(QtMainScheduler, PostedTasksRunOnTheEventLoopInOrder) {
    QtMainScheduler main;
    std::vector<int> ran;
    bool allOnMain = true;
    QEventLoop loop;
    for (int i = 0; i < 3; ++i) {
        main.post([&, i] {
            allOnMain = allOnMain && main.isCurrent() && onGuiThread();
            ran.push_back(i);
        });
    }
    main.post([&] { loop.quit(); });
    // Nothing runs before the loop does.
    EXPECT_TRUE(ran.empty());
    loop.exec();
    EXPECT_EQ(ran, (std::vector{0, 1, 2}));
    EXPECT_TRUE(allOnMain);
}

TEST(QtMainScheduler, TasksPostedFromAnotherThreadRunOnTheGuiThreadInTheirOrder) {
    QtMainScheduler main;
    std::vector<int> ran;
    bool allOnMain = true;
    bool posterSawCurrent = true;
    QEventLoop loop;
    std::thread poster([&] {
        posterSawCurrent = main.isCurrent();
        for (int i = 0; i < 200; ++i) {
            main.post([&, i] {
                allOnMain = allOnMain && onGuiThread();
                ran.push_back(i);
            });
        }
        main.post([&] { loop.quit(); });
    });
    loop.exec();
    poster.join();
    EXPECT_FALSE(posterSawCurrent);
    ASSERT_EQ(ran.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(ran[i], i);
    EXPECT_TRUE(allOnMain);
}

TEST(QtMainScheduler, AfterWaitsItsDelayAndCancellingOrDroppingTheHandleStopsIt) {
    QtMainScheduler main;
    const auto start = SteadyClock::now();
    SteadyClock::time_point firedAt{};
    int dropped = 0;
    int cancelled = 0;
    TimerHandle kept = main.after(40ms, [&] { firedAt = SteadyClock::now(); });
    TimerHandle toCancel = main.after(20ms, [&] { ++cancelled; });
    { TimerHandle toDrop = main.after(20ms, [&] { ++dropped; }); }
    EXPECT_TRUE(toCancel.isActive());
    toCancel.cancel();
    EXPECT_FALSE(toCancel.isActive());

    ASSERT_TRUE(runLoopUntil([&] { return firedAt != SteadyClock::time_point{}; }));
    EXPECT_GE(firedAt - start, 40ms);
    runLoopFor(60ms);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(dropped, 0);
}

TEST(QtMainScheduler, EveryRepeatsUntilCancelledFromItsOwnTask) {
    QtMainScheduler main;
    int firings = 0;
    const auto start = SteadyClock::now();
    TimerHandle repeating;
    repeating = main.every(10ms, 0ms, [&] {
        if (++firings == 3) repeating.cancel();
    });
    ASSERT_TRUE(runLoopUntil([&] { return firings >= 3; }));
    EXPECT_GE(SteadyClock::now() - start, 30ms);
    runLoopFor(60ms);
    EXPECT_EQ(firings, 3);
}

TEST(QtMainScheduler, TimersAskedForFromAnotherThreadFireOnTheGuiThread) {
    QtMainScheduler main;
    bool onceFired = false;
    int repeats = 0;
    bool allOnMain = true;
    TimerHandle once;
    TimerHandle repeating;
    std::thread([&] {
        once = main.after(5ms, [&] {
            allOnMain = allOnMain && onGuiThread();
            onceFired = true;
        });
        repeating = main.every(5ms, 1ms, [&] {
            allOnMain = allOnMain && onGuiThread();
            ++repeats;
        });
    }).join();
    ASSERT_TRUE(runLoopUntil([&] { return onceFired && repeats >= 2; }));
    EXPECT_TRUE(allOnMain);

    // Cancelled from elsewhere before it started: it never fires.
    bool late = false;
    std::thread([&] {
        TimerHandle handle = main.after(1ms, [&] { late = true; });
        handle.cancel();
    }).join();
    repeating.cancel();
    const int repeatsAtCancel = repeats;
    runLoopFor(40ms);
    EXPECT_FALSE(late);
    EXPECT_EQ(repeats, repeatsAtCancel);
}

TEST(QtMainScheduler, SyncFromAnotherThreadWaitsForTheRunningLoop) {
    QtMainScheduler main;
    QEventLoop loop;
    bool ranOnMain = false;
    bool seenByCaller = false;
    std::string error;
    std::thread caller([&] {
        main.sync([&] { ranOnMain = onGuiThread(); });
        // The task has run by the time sync returns.
        seenByCaller = ranOnMain;
        try {
            main.sync([] { throw std::runtime_error("refused"); });
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        main.post([&] { loop.quit(); });
    });
    loop.exec();
    caller.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(seenByCaller);
    EXPECT_EQ(error, "refused");
}

TEST(QtMainScheduler, SyncOnTheGuiThreadRunsInPlace) {
    QtMainScheduler main;
    std::vector<int> order;
    main.post([&] { order.push_back(2); });
    // No event loop is running: a queued sync here would never return.
    main.sync([&] { order.push_back(1); });
    EXPECT_EQ(order, (std::vector{1}));
    ASSERT_TRUE(runLoopUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector{1, 2}));
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

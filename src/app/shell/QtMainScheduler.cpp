#include "app/shell/QtMainScheduler.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>

#include "app/shell/QtChild.h"

namespace kavo {
namespace {

// Qt timers count whole milliseconds in an int. Rounding up keeps a task from running
// before its delay has passed.
std::chrono::milliseconds timerInterval(Duration delay) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(delay, Duration{0}));
    return std::min(ms, std::chrono::milliseconds{INT_MAX});
}

}  // namespace

QtMainScheduler::QtMainScheduler() : context_(std::make_unique<QObject>()) {}

QtMainScheduler::~QtMainScheduler() = default;

void QtMainScheduler::post(Task task) {
    QMetaObject::invokeMethod(
        context_.get(), [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMainScheduler::sync(const Task& task) {
    postAndWait(task);
}

TimerHandle QtMainScheduler::after(Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto start = [context = context_.get(), cancelled, delay, task = std::move(task)] {
        if (cancelled->load(std::memory_order_acquire)) return;
        QTimer::singleShot(timerInterval(delay), Qt::PreciseTimer, context, [cancelled, task] {
            if (!cancelled->load(std::memory_order_acquire)) task();
        });
    };
    // A timer belongs to the thread that starts it, so one asked for elsewhere is started
    // on the GUI thread.
    if (isCurrent()) {
        start();
    } else {
        post(std::move(start));
    }
    return TimerHandle(std::move(cancelled));
}

TimerHandle QtMainScheduler::every(Duration interval, Duration leeway, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto start = [context = context_.get(), cancelled, interval, leeway, task = std::move(task)] {
        if (cancelled->load(std::memory_order_acquire)) return;
        // Owned by the context, so it goes when the scheduler does; a cancelled timer
        // removes itself at its next firing.
        auto* timer = makeQtChild<QTimer>(context);
        timer->setTimerType(leeway > Duration{0} ? Qt::CoarseTimer : Qt::PreciseTimer);
        timer->setInterval(std::max(timerInterval(interval), std::chrono::milliseconds{1}));
        QObject::connect(timer, &QTimer::timeout, timer, [timer, cancelled, task] {
            if (cancelled->load(std::memory_order_acquire)) {
                timer->stop();
                timer->deleteLater();
                return;
            }
            task();
        });
        timer->start();
    };
    if (isCurrent()) {
        start();
    } else {
        post(std::move(start));
    }
    return TimerHandle(std::move(cancelled));
}

bool QtMainScheduler::isCurrent() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace kavo

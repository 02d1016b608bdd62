#include "base/Scheduler.h"

#include <exception>
#include <future>

namespace kavo {

TimerHandle::TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled)
    : cancelled_(std::move(cancelled)) {}

TimerHandle& TimerHandle::operator=(TimerHandle&& other) noexcept {
    if (this != &other) {
        cancel();
        cancelled_ = std::move(other.cancelled_);
    }
    return *this;
}

TimerHandle::~TimerHandle() {
    cancel();
}

void TimerHandle::cancel() {
    if (cancelled_) {
        cancelled_->store(true, std::memory_order_release);
        cancelled_.reset();
    }
}

bool TimerHandle::isActive() const {
    return cancelled_ && !cancelled_->load(std::memory_order_acquire);
}

void Scheduler::postAndWait(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    post([&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

}  // namespace kavo

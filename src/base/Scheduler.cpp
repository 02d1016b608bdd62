#include "base/Scheduler.h"

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

TimerHandle::~TimerHandle() { cancel(); }

void TimerHandle::cancel() {
    if (cancelled_) {
        cancelled_->store(true, std::memory_order_release);
        cancelled_.reset();
    }
}

bool TimerHandle::isActive() const {
    return cancelled_ && !cancelled_->load(std::memory_order_acquire);
}

}  // namespace kavo

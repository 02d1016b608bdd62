#include "audio/endpoints/RebuildSignal.h"

#include <array>

namespace kavo {
namespace {

constexpr std::array kReasons = {EndpointRebuildReason::voiceProcessingSilent,
                                 EndpointRebuildReason::deviceChanged,
                                 EndpointRebuildReason::routeFormatChanged};

constexpr std::uint32_t bit(EndpointRebuildReason reason) {
    return 1U << static_cast<unsigned>(reason);
}

}  // namespace

RebuildSignal::RebuildSignal(Handler handler) : handler_(std::move(handler)) {
    thread_ = std::thread([this] { run(); });
}

RebuildSignal::~RebuildSignal() {
    stopping_.store(true, std::memory_order_release);
    wake_.release();
    thread_.join();
}

void RebuildSignal::raise(EndpointRebuildReason reason) noexcept {
    pending_.fetch_or(bit(reason), std::memory_order_acq_rel);
    raised_.fetch_add(1, std::memory_order_release);
    wake_.release();
}

void RebuildSignal::flush() {
    const std::uint64_t target = raised_.load(std::memory_order_acquire);
    std::unique_lock lock(mutex_);
    handedOn_.wait(lock, [&] { return handled_ >= target; });
}

void RebuildSignal::run() {
    for (;;) {
        wake_.acquire();
        if (stopping_.load(std::memory_order_acquire)) return;
        // Every raise counted here set its bit before counting, so the exchange sees it.
        const std::uint64_t seen = raised_.load(std::memory_order_acquire);
        const std::uint32_t reasons = pending_.exchange(0, std::memory_order_acq_rel);
        for (const auto reason : kReasons) {
            if ((reasons & bit(reason)) != 0 && handler_) handler_(reason);
        }
        std::lock_guard lock(mutex_);
        if (seen > handled_) handled_ = seen;
        handedOn_.notify_all();
    }
}

}  // namespace kavo

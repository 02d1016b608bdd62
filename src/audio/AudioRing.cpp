#include "audio/AudioRing.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kavo {

namespace {

std::int64_t roundedCapacity(std::int64_t requested) {
    // Beyond 2^62 frames the next power of two no longer fits the signed indices.
    constexpr std::int64_t largest = std::int64_t{1} << 62;
    const auto wanted = std::clamp<std::int64_t>(requested, 2, largest);
    return static_cast<std::int64_t>(std::bit_ceil(static_cast<std::uint64_t>(wanted)));
}

}  // namespace

AudioRing::AudioRing(std::int64_t requestedCapacity)
    : storage_(), capacity_(roundedCapacity(requestedCapacity)), mask_(capacity_ - 1) {
    storage_ = std::make_unique<float[]>(static_cast<std::size_t>(capacity_));
}

void AudioRing::write(const float* frames, std::int64_t count) noexcept {
    if (count < 1) {
        return;
    }
    const auto w = writeIndex_.value.load(std::memory_order_relaxed);
    const auto r = readIndex_.value.load(std::memory_order_acquire);
    if (capacity_ - (w - r) < count) {
        dropped_.value.fetch_add(count, std::memory_order_relaxed);
        return;
    }
    const auto start = w & mask_;
    const auto first = std::min(capacity_ - start, count);
    std::memcpy(storage_.get() + start, frames, static_cast<std::size_t>(first) * sizeof(float));
    if (first < count) {
        std::memcpy(storage_.get(), frames + first,
                    static_cast<std::size_t>(count - first) * sizeof(float));
    }
    writeIndex_.value.store(w + count, std::memory_order_release);
}

std::int64_t AudioRing::read(float* into, std::int64_t maxCount) noexcept {
    const auto r = readIndex_.value.load(std::memory_order_relaxed);
    const auto w = writeIndex_.value.load(std::memory_order_acquire);
    const auto n = std::min(w - r, maxCount);
    if (n < 1) {
        return 0;
    }
    const auto start = r & mask_;
    const auto first = std::min(capacity_ - start, n);
    std::memcpy(into, storage_.get() + start, static_cast<std::size_t>(first) * sizeof(float));
    if (first < n) {
        std::memcpy(into + first, storage_.get(),
                    static_cast<std::size_t>(n - first) * sizeof(float));
    }
    readIndex_.value.store(r + n, std::memory_order_release);
    return n;
}

std::int64_t AudioRing::takeDropped() noexcept {
    return dropped_.value.exchange(0, std::memory_order_relaxed);
}

}  // namespace kavo

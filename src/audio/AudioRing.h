#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kavo {

// Mono float frames from one producer (an endpoint's audio thread) to one consumer (the
// mixer's queue). Never blocks, locks or allocates after construction; a block that does
// not fit is refused whole and counted, so the consumer can stand silence in for it.
class AudioRing {
public:
    // Capacity is the smallest power of two at least max(requested, 2).
    explicit AudioRing(std::int64_t requestedCapacity);
    AudioRing(const AudioRing&) = delete;
    AudioRing& operator=(const AudioRing&) = delete;

    // Producer: stores all `count` frames or none.
    void write(const float* frames, std::int64_t count) noexcept;
    // Consumer: copies up to `maxCount` frames, oldest first; returns how many.
    std::int64_t read(float* into, std::int64_t maxCount) noexcept;
    // Consumer: the frames refused since the last call, resetting the count.
    std::int64_t takeDropped() noexcept;

    std::int64_t capacity() const { return capacity_; }

private:
    // Each index on its own cache line, so producer and consumer do not false-share.
    struct alignas(64) Cell {
        std::atomic<std::int64_t> value{0};
    };

    std::unique_ptr<float[]> storage_;
    std::int64_t capacity_;
    std::int64_t mask_;
    Cell writeIndex_;
    Cell readIndex_;
    Cell dropped_;
};

}  // namespace kavo

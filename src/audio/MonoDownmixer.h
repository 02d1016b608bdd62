#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "audio/AudioBufferList.h"

namespace kavo {

// Folds each delivery of an audio source into mono at the source rate, on the audio
// thread: the buffer is allocated once, here, and the downmix neither allocates nor locks.
class MonoDownmixer {
public:
    // `capacity` frames; a negative capacity counts as 0.
    explicit MonoDownmixer(std::int64_t capacity);

    // The mean of every channel of every usable buffer, frame by frame, over the frames all
    // of them hold (at most `capacity`). Empty when no buffer is usable. The frames live in
    // this object and stay valid until the next call.
    std::span<const float> downmix(const AudioBufferList& list) noexcept;

    std::int64_t capacity() const { return capacity_; }

private:
    std::unique_ptr<float[]> scratch_;
    std::int64_t capacity_;
};

}  // namespace kavo

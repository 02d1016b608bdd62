#pragma once

#include <cstdint>

namespace kavo {

// Removes from the microphone what it picked up of the far side, given what the computer
// played at the same moments as the reference. Works in 10 ms frames of the mixer's
// 16 000 Hz output. Whatever it needs is set up at construction: processing a frame never
// allocates, logs or waits.
class EchoCanceller {
public:
    static constexpr std::int64_t kFrameSize = 160;

    virtual ~EchoCanceller() = default;

    // Cancels in `nearEnd` (kFrameSize microphone frames, in place) the echo of what
    // `farEnd` (the same kFrameSize frames of the system audio) played.
    virtual void process(float* nearEnd, const float* farEnd) noexcept = 0;
};

}  // namespace kavo

#pragma once

#include <cstdint>
#include <span>

namespace kavo {

// One buffer of 32-bit float samples as an audio source delivers it: `channelCount`
// channels interleaved (sample f × channelCount + c), `byteSize` bytes in all.
struct AudioBuffer {
    std::uint32_t channelCount = 0;
    std::uint32_t byteSize = 0;
    const float* data = nullptr;
};

// The buffers of one delivery, in order: one interleaved buffer, or one buffer per channel
// when a source delivers its channels apart.
struct AudioBufferList {
    std::span<const AudioBuffer> buffers;
};

}  // namespace kavo

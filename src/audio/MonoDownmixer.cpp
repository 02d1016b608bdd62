#include "audio/MonoDownmixer.h"

#include <algorithm>

namespace kavo {

MonoDownmixer::MonoDownmixer(std::int64_t capacity)
    : capacity_(std::max<std::int64_t>(capacity, 0)) {
    scratch_ = std::make_unique<float[]>(static_cast<std::size_t>(capacity_));
}

std::span<const float> MonoDownmixer::downmix(const AudioBufferList& list) noexcept {
    if (list.buffers.empty()) {
        return {};
    }
    float* scratch = scratch_.get();
    std::int64_t frames = 0;
    std::int64_t channels = 0;
    bool first = true;
    for (const AudioBuffer& buffer : list.buffers) {
        const std::uint64_t bytesPerFrame = 4 * std::uint64_t{buffer.channelCount};
        if (buffer.channelCount == 0 || buffer.data == nullptr || buffer.byteSize < bytesPerFrame) {
            continue;
        }
        const auto bufferFrames = static_cast<std::int64_t>(buffer.byteSize / bytesPerFrame);
        if (first) {
            frames = std::min(bufferFrames, capacity_);
            std::fill_n(scratch, frames, 0.0f);
            first = false;
        } else {
            frames = std::min(frames, bufferFrames);
        }
        const std::int64_t width = buffer.channelCount;
        for (std::int64_t f = 0; f < frames; ++f) {
            const float* frame = buffer.data + f * width;
            for (std::int64_t c = 0; c < width; ++c) {
                scratch[f] += frame[c];
            }
        }
        channels += width;
    }
    if (frames < 1 || channels < 1) {
        return {};
    }
    if (channels >= 2) {
        const float scale = 1.0f / static_cast<float>(channels);
        for (std::int64_t f = 0; f < frames; ++f) {
            scratch[f] *= scale;
        }
    }
    return {scratch, static_cast<std::size_t>(frames)};
}

}  // namespace kavo

#pragma once

#include <cstdint>

namespace kavo {

// Receives the mixer's output: signed 16-bit mono samples at 16 000 Hz, once per tick,
// on the mixer's queue.
class PCMSink {
public:
    virtual ~PCMSink() = default;
    virtual void append(const std::int16_t* samples, std::int64_t count) = 0;
};

}  // namespace kavo

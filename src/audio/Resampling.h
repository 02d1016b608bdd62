#pragma once

#include <cstdint>
#include <vector>

namespace kavo {

// Converts mono source-rate samples to 16 000 Hz. Input it cannot use yet stays inside
// for the next call; nothing fails.
class Resampling {
public:
    virtual ~Resampling() = default;
    virtual double inputRate() const = 0;
    // Output frames by which the output trails the input it came from.
    virtual std::int64_t delay() const = 0;
    // Appends the output it can produce now to `output`. A count of 0 does nothing.
    virtual void process(const float* samples, std::int64_t count, std::vector<float>& output) = 0;
};

}  // namespace kavo

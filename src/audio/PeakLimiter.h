#pragma once

#include <cstdint>

namespace kavo {

// Keeps the mixed signal under -1 dBFS with a smoothed gain: falls fast (attack), recovers
// slowly (release), so loud overlaps are tamed without pumping. The gain carries over
// from one block to the next.
class PeakLimiter {
public:
    // 10^(-1/20) in single precision: -1 dBFS.
    static constexpr float kCeiling = 0.8912509f;
    // e^(-1/80): a 5 ms time constant at 16 000 Hz.
    static constexpr float kAttack = 0.98757780f;
    // e^(-1/1600): a 100 ms time constant at 16 000 Hz.
    static constexpr float kRelease = 0.99937522f;

    PeakLimiter() = default;
    PeakLimiter(float attack, float release) : attack_(attack), release_(release) {}

    // Limits `count` samples in place.
    void process(float* samples, std::int64_t count) noexcept;

    float gain() const { return gain_; }
    float attack() const { return attack_; }
    float release() const { return release_; }

private:
    float gain_ = 1.0f;
    float attack_ = kAttack;
    float release_ = kRelease;
};

}  // namespace kavo

#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace kavo {

// How long the microphone's echo trails its reference, from the loudness of both over the
// last seconds: the lag at which the microphone's 10 ms energies follow the reference's
// most closely. A coarse figure, to the nearest 10 ms, for a canceller that adapts the
// fine delay itself but finds a large one too slowly. Fixed storage; never allocates.
class EchoDelayEstimator {
public:
    static constexpr std::int64_t kFrameSize = 160;
    static constexpr int kFrameMilliseconds = 10;
    static constexpr int kMaxLagFrames = 50;
    static constexpr int kWindowFrames = 100;
    static constexpr int kEvery = 10;
    // Below this the energies do not follow each other: no estimate.
    static constexpr double kMinCorrelation = 0.6;
    // A reference quieter than this is silent, and one silent for most of the window
    // shows no delay.
    static constexpr double kActiveDb = -50.0;
    static constexpr int kMinActiveFrames = 30;

    // Takes one frame of each; kFrameSize samples.
    void add(const float* nearEnd, const float* farEnd) noexcept;
    // The delay in milliseconds, once the signals have shown one.
    std::optional<int> delayMilliseconds() const { return delay_; }

private:
    static constexpr int kHistory = kWindowFrames + kMaxLagFrames;

    void estimate() noexcept;
    double nearAt(int back) const noexcept;
    double farAt(int back) const noexcept;

    std::array<double, kHistory> near_{};
    std::array<double, kHistory> far_{};
    int next_ = 0;
    std::int64_t frames_ = 0;
    std::optional<int> delay_;
};

}  // namespace kavo

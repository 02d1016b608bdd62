#include "audio/EchoDelayEstimator.h"

#include <cmath>

namespace kavo {
namespace {

double loudness(const float* samples) noexcept {
    double sum = 0;
    for (std::int64_t i = 0; i < EchoDelayEstimator::kFrameSize; ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    // Silence floors at -90 dB, so that it does not swamp the speech around it.
    return 10.0 * std::log10(sum / EchoDelayEstimator::kFrameSize + 1e-9);
}

}  // namespace

void EchoDelayEstimator::add(const float* nearEnd, const float* farEnd) noexcept {
    near_[static_cast<std::size_t>(next_)] = loudness(nearEnd);
    far_[static_cast<std::size_t>(next_)] = loudness(farEnd);
    next_ = (next_ + 1) % kHistory;
    ++frames_;
    if (frames_ >= kHistory && frames_ % kEvery == 0) {
        estimate();
    }
}

double EchoDelayEstimator::nearAt(int back) const noexcept {
    return near_[static_cast<std::size_t>((next_ - 1 - back + 2 * kHistory) % kHistory)];
}

double EchoDelayEstimator::farAt(int back) const noexcept {
    return far_[static_cast<std::size_t>((next_ - 1 - back + 2 * kHistory) % kHistory)];
}

// Pearson correlation of the microphone's recent energies with the reference's `lag`
// frames earlier, for every lag; the best one wins when it is convincing.
void EchoDelayEstimator::estimate() noexcept {
    int active = 0;
    for (int i = 0; i < kWindowFrames; ++i)
        active += farAt(i + kMaxLagFrames / 2) > kActiveDb ? 1 : 0;
    if (active < kMinActiveFrames) return;
    double nearMean = 0;
    for (int i = 0; i < kWindowFrames; ++i) nearMean += nearAt(i);
    nearMean /= kWindowFrames;
    double nearVariance = 0;
    for (int i = 0; i < kWindowFrames; ++i)
        nearVariance += (nearAt(i) - nearMean) * (nearAt(i) - nearMean);
    if (nearVariance <= 0) return;

    double best = kMinCorrelation;
    int bestLag = -1;
    for (int lag = 0; lag < kMaxLagFrames; ++lag) {
        double farMean = 0;
        for (int i = 0; i < kWindowFrames; ++i) farMean += farAt(i + lag);
        farMean /= kWindowFrames;
        double covariance = 0;
        double farVariance = 0;
        for (int i = 0; i < kWindowFrames; ++i) {
            const double f = farAt(i + lag) - farMean;
            covariance += (nearAt(i) - nearMean) * f;
            farVariance += f * f;
        }
        if (farVariance <= 0) continue;
        const double correlation = covariance / std::sqrt(nearVariance * farVariance);
        if (correlation > best) {
            best = correlation;
            bestLag = lag;
        }
    }
    if (bestLag >= 0) delay_ = bestLag * kFrameMilliseconds;
}

}  // namespace kavo

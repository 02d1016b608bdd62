#include "audio/ThreeToOneDecimator.h"

#include <algorithm>

#include "audio/Lowpass.h"

namespace kavo {

namespace {

// Outputs computed together: their sums stay in registers while the taps stream by.
constexpr std::int64_t outputBlock = 16;

}  // namespace

ThreeToOneDecimator::ThreeToOneDecimator()
    : taps_(designLowpass(static_cast<int>(tapCount), cutoff)),
      history_(static_cast<std::size_t>(tapCount - 1), 0.0f) {
    history_.reserve(static_cast<std::size_t>(tapCount));
}

void ThreeToOneDecimator::process(const float* samples, std::int64_t count,
                                  std::vector<float>& output) {
    if (samples == nullptr || count < 1) {
        return;
    }
    scratch_.clear();
    scratch_.insert(scratch_.end(), history_.begin(), history_.end());
    scratch_.insert(scratch_.end(), samples, samples + count);
    const auto total = static_cast<std::int64_t>(scratch_.size());
    if (total < tapCount) {
        history_.assign(scratch_.begin(), scratch_.end());
        return;
    }
    const auto produced = (total - tapCount) / 3 + 1;
    const auto first = output.size();
    output.resize(first + static_cast<std::size_t>(produced));
    filter(output.data() + first, produced);
    history_.assign(scratch_.begin() + 3 * produced, scratch_.end());
}

// out[j] = sum over p of scratch[3j + p] * taps[p], each sum taken in tap order. The input
// is first split into its three phases so that, for a fixed tap, consecutive outputs read
// consecutive samples: the inner loop then vectorises without reordering any sum.
void ThreeToOneDecimator::filter(float* out, std::int64_t outputCount) {
    const auto total = static_cast<std::int64_t>(scratch_.size());
    const auto phaseLength = (total + 2) / 3;
    phases_.resize(static_cast<std::size_t>(3 * phaseLength));
    float* phase[3] = {phases_.data(), phases_.data() + phaseLength,
                       phases_.data() + 2 * phaseLength};
    const float* in = scratch_.data();
    const auto whole = total / 3;
    for (std::int64_t i = 0; i < whole; ++i) {
        phase[0][i] = in[3 * i];
        phase[1][i] = in[3 * i + 1];
        phase[2][i] = in[3 * i + 2];
    }
    for (std::int64_t i = 3 * whole; i < total; ++i) {
        phase[i - 3 * whole][whole] = in[i];
    }

    const float* taps = taps_.data();
    std::int64_t j0 = 0;
    for (; j0 + outputBlock <= outputCount; j0 += outputBlock) {
        float sums[outputBlock] = {};
        for (std::int64_t p = 0; p < tapCount; ++p) {
            const float tap = taps[p];
            const float* source = phase[p % 3] + j0 + p / 3;
            for (std::int64_t j = 0; j < outputBlock; ++j) {
                sums[j] += tap * source[j];
            }
        }
        std::copy(sums, sums + outputBlock, out + j0);
    }
    for (; j0 < outputCount; ++j0) {
        float sum = 0;
        for (std::int64_t p = 0; p < tapCount; ++p) {
            sum += taps[p] * in[3 * j0 + p];
        }
        out[j0] = sum;
    }
}

}  // namespace kavo

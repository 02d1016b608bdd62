#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/Resampling.h"

struct soxr;

namespace kavo {

// Any source rate to 16 000 Hz through libsoxr (high quality, linear phase). Input waits in
// a queue and is pulled into the converter a staging block at a time; a conversion is
// attempted only while at least `requiredInputFrames` samples wait (enough for a full
// output block plus 512), so short calls leave their input queued for the next one.
class ConverterResampler final : public Resampling {
public:
    static constexpr std::int64_t outputFramesPerConversion = 256;

    // Throws kavo::Error when the rate cannot be converted.
    explicit ConverterResampler(double inputRate);

    double inputRate() const override { return inputRate_; }
    // The converter holds its output back by its own delay.
    std::int64_t delay() const override { return 0; }
    void process(const float* samples, std::int64_t count, std::vector<float>& output) override;

    // ⌈inputRate ÷ 16 000 × 256⌉ + 512.
    std::int64_t requiredInputFrames() const { return requiredInputFrames_; }
    // max(4 × requiredInputFrames, 4096): the most input handed over in one block.
    std::int64_t stagingCapacity() const { return stagingCapacity_; }
    // Samples queued and not yet handed to the converter.
    std::int64_t queuedFrames() const {
        return static_cast<std::int64_t>(queue_.size()) - queueRead_;
    }

private:
    enum class Status { haveData, inputRanDry, failed };
    struct Deleter {
        void operator()(soxr* converter) const;
    };

    Status convert(std::int64_t& produced);
    // The converter's input block: moves up to `asked` queued samples into `staging_`.
    std::int64_t pullInput(std::int64_t asked);

    double inputRate_;
    std::unique_ptr<soxr, Deleter> converter_;
    std::vector<float> staging_;
    std::array<float, outputFramesPerConversion> outputBuffer_{};
    std::int64_t requiredInputFrames_;
    std::int64_t stagingCapacity_;
    std::vector<float> queue_;
    std::int64_t queueRead_ = 0;
    // Part of `staging_` handed over but not yet taken in by libsoxr.
    std::int64_t stagedOffset_ = 0;
    std::int64_t stagedCount_ = 0;
};

}  // namespace kavo

#include "audio/ConverterResampler.h"

#include <fmt/format.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "base/Error.h"

namespace kavo {

namespace {

constexpr double outputRate = 16'000;

std::int64_t requiredInputFor(double inputRate) {
    return static_cast<std::int64_t>(std::ceil(inputRate / outputRate * 256.0)) + 512;
}

}  // namespace

void ConverterResampler::Deleter::operator()(soxr* converter) const {
    soxr_delete(converter);
}

ConverterResampler::ConverterResampler(double inputRate) : inputRate_(inputRate) {
    if (!std::isfinite(inputRate) || inputRate <= 0) {
        throw Error(fmt::format("Cannot convert audio at {} Hz to {} Hz: invalid sample rate",
                                inputRate, outputRate));
    }
    const auto io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const auto quality = soxr_quality_spec(SOXR_HQ, 0);
    const auto runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    converter_.reset(soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime));
    if (error != nullptr || !converter_) {
        throw Error(fmt::format("Cannot convert audio at {} Hz to {} Hz: {}", inputRate, outputRate,
                                soxr_strerror(error)));
    }
    requiredInputFrames_ = requiredInputFor(inputRate);
    stagingCapacity_ = std::max<std::int64_t>(4 * requiredInputFrames_, 4096);
    staging_.resize(static_cast<std::size_t>(stagingCapacity_));
    // The mixer hands over up to a quarter second per call; room for that on top of what
    // waits below the conversion threshold keeps the queue from growing on the mixer's tick.
    const auto quarterSecond = static_cast<std::int64_t>(std::ceil(inputRate * 0.25));
    queue_.reserve(
        static_cast<std::size_t>(std::max(stagingCapacity_, requiredInputFrames_ + quarterSecond)));
}

void ConverterResampler::process(const float* samples, std::int64_t count,
                                 std::vector<float>& output) {
    if (samples == nullptr || count < 1) {
        return;
    }
    queue_.insert(queue_.end(), samples, samples + count);
    while (queuedFrames() >= requiredInputFrames_) {
        std::int64_t produced = 0;
        const auto status = convert(produced);
        if (produced == 0) {
            break;
        }
        output.insert(output.end(), outputBuffer_.begin(), outputBuffer_.begin() + produced);
        if (status == Status::failed) {
            break;
        }
    }
    // Trimmed once per call, not per conversion, so the queue moves its samples only once.
    if (queueRead_ >= 1) {
        queue_.erase(queue_.begin(), queue_.begin() + queueRead_);
        queueRead_ = 0;
    }
}

// One conversion: fills `outputBuffer_` with at most 256 frames, taking input through the
// input block whenever libsoxr has no output ready, until the buffer is full or the queue
// runs dry.
ConverterResampler::Status ConverterResampler::convert(std::int64_t& produced) {
    produced = 0;
    while (produced < outputFramesPerConversion) {
        const auto room = static_cast<std::size_t>(outputFramesPerConversion - produced);
        float* out = outputBuffer_.data() + produced;
        std::size_t taken = 0;
        std::size_t made = 0;
        // With no staged input this only collects output libsoxr already holds.
        const soxr_error_t error =
            soxr_process(converter_.get(), staging_.data() + stagedOffset_,
                         static_cast<std::size_t>(stagedCount_), &taken, out, room, &made);
        if (error != nullptr) {
            return Status::failed;
        }
        stagedOffset_ += static_cast<std::int64_t>(taken);
        stagedCount_ -= static_cast<std::int64_t>(taken);
        produced += static_cast<std::int64_t>(made);
        if (made > 0 || stagedCount_ > 0) {
            continue;
        }
        // libsoxr takes in at most the input that `room` output frames need.
        const auto asked = static_cast<std::int64_t>(
            std::ceil(static_cast<double>(room) * inputRate_ / outputRate));
        if (pullInput(asked) < 1) {
            return Status::inputRanDry;
        }
    }
    return Status::haveData;
}

std::int64_t ConverterResampler::pullInput(std::int64_t asked) {
    const auto n = std::min({stagingCapacity_, queuedFrames(), asked});
    if (n < 1) {
        return 0;
    }
    std::copy_n(queue_.begin() + queueRead_, n, staging_.begin());
    stagedOffset_ = 0;
    stagedCount_ = n;
    queueRead_ += n;
    return n;
}

}  // namespace kavo

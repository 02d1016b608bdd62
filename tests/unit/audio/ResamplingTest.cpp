#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "audio/ConverterResampler.h"
#include "audio/ThreeToOneDecimator.h"
#include "support/ToneAmplitude.h"

namespace kavo {
namespace {

std::vector<float> tone(double frequency, double rate, double amplitude, std::int64_t count) {
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        samples[static_cast<std::size_t>(i)] = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    }
    return samples;
}

// The second second of a 16 kHz output: its amplitude at one frequency, and its RMS.
double amplitudeAt(const std::vector<float>& output, double frequency) {
    return testing::toneAmplitude({output.begin() + 16'000, output.begin() + 32'000}, 16'000,
                                  frequency);
}
double rmsOfSecondSecond(const std::vector<float>& output) {
    double sum = 0;
    for (std::size_t i = 16'000; i < 32'000; ++i) sum += static_cast<double>(output[i]) * output[i];
    return std::sqrt(sum / 16'000);
}

// Feeds `input` in pieces cut to the sizes in `cuts`, in turn.
std::vector<float> run(Resampling& resampler, const std::vector<float>& input,
                       const std::vector<std::int64_t>& cuts) {
    std::vector<float> output;
    const auto size = static_cast<std::int64_t>(input.size());
    std::size_t i = 0;
    for (std::int64_t at = 0; at < size; ++i) {
        const auto count = std::min(cuts[i % cuts.size()], size - at);
        resampler.process(input.data() + at, count, output);
        at += count;
    }
    return output;
}

std::unique_ptr<Resampling> resamplerFor(double rate) {
    if (rate == 48'000) return std::make_unique<ThreeToOneDecimator>();
    return std::make_unique<ConverterResampler>(rate);
}

class ResamplerAtRate : public ::testing::TestWithParam<double> {};

// One kilohertz arrives at full level; 9 kHz and above (where the rate holds them) are
// rejected by at least 75 dB. Fed in pieces of any size, a resampler gives what it gives for
// the whole input at once (the converter may still hold back a different tail).
TEST_P(ResamplerAtRate, PassesOneKilohertzRejectsNineAndAboveAndIgnoresHowTheInputIsCut) {
    const double rate = GetParam();
    const auto convert = [rate](double frequency, const std::vector<std::int64_t>& cuts) {
        return run(*resamplerFor(rate), tone(frequency, rate, 0.5, std::int64_t(3 * rate)), cuts);
    };
    const auto output = convert(1'000, {1, 2, 95, 96, 97, 98, 4'800, 13, 480, 7, 1'217});
    const auto whole = convert(1'000, {std::int64_t(3 * rate)});
    const auto common = std::min(output.size(), whole.size());
    ASSERT_GT(common, 40'000U);
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + std::ptrdiff_t(common), whole.begin()));
    EXPECT_NEAR(amplitudeAt(output, 1'000), 0.5, 0.001);
    for (const double frequency : {9'000.0, 12'000.0, rate / 2 - 500}) {
        if (frequency < 9'000 || frequency >= rate / 2) continue;
        const auto rejected = convert(frequency, {std::int64_t(rate / 10)});
        EXPECT_LT(20 * std::log10(rmsOfSecondSecond(rejected) / std::sqrt(0.125)), -75)
            << frequency << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(SourceRates, ResamplerAtRate,
                         ::testing::Values(8'000.0, 16'000.0, 22'050.0, 44'100.0, 48'000.0,
                                           96'000.0));

}  // namespace
}  // namespace kavo

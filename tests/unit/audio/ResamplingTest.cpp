#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "audio/ConverterResampler.h"
#include "audio/Lowpass.h"
#include "audio/ThreeToOneDecimator.h"
#include "base/Error.h"

namespace kavo {
namespace {

constexpr double pi = std::numbers::pi;

std::vector<float> tone(double frequency, double rate, double amplitude, std::int64_t count) {
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        samples[static_cast<std::size_t>(i)] = static_cast<float>(
            amplitude * std::sin(2 * pi * frequency * static_cast<double>(i) / rate));
    }
    return samples;
}

// Gain of `taps` at `frequency` (cycles per sample).
double responseAt(const std::vector<float>& taps, double frequency) {
    std::complex<double> sum;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        sum += static_cast<double>(taps[i]) *
               std::polar(1.0, -2 * pi * frequency * static_cast<double>(i));
    }
    return std::abs(sum);
}

// Amplitude of one frequency in the second second of a 16 kHz output (whole periods).
double amplitudeAt(const std::vector<float>& output, double frequency) {
    const std::vector<float> second(output.begin() + 16'000, output.begin() + 32'000);
    return 2 * responseAt(second, frequency / 16'000) / 16'000;
}

double rmsOfSecondSecond(const std::vector<float>& output) {
    double sum = 0;
    for (std::size_t i = 16'000; i < 32'000; ++i) sum += static_cast<double>(output[i]) * output[i];
    return std::sqrt(sum / 16'000);
}

double decibels(double ratio) {
    return 20 * std::log10(ratio);
}

std::vector<float> run(Resampling& resampler, const std::vector<float>& input, std::int64_t chunk) {
    std::vector<float> output;
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(input.size()); at += chunk) {
        const auto n = std::min<std::int64_t>(chunk, static_cast<std::int64_t>(input.size()) - at);
        resampler.process(input.data() + at, n, output);
    }
    return output;
}

TEST(Lowpass, SevenKilohertzFilterAtA48kHzInputAndDegenerateSizes) {
    const auto taps = designLowpass(97, 7'000.0 / 48'000.0);
    EXPECT_NEAR(decibels(responseAt(taps, 0)), 0.0, 1e-5);
    EXPECT_NEAR(decibels(responseAt(taps, 1'000.0 / 48'000)), 0.0, 0.01);
    EXPECT_NEAR(decibels(responseAt(taps, 7'000.0 / 48'000)), -6.0, 0.1);
    EXPECT_NEAR(decibels(responseAt(taps, 8'000.0 / 48'000)), -39.0, 1.5);
    double worst = 0;
    for (double f = 9'000; f <= 24'000; f += 25) {
        worst = std::max(worst, responseAt(taps, f / 48'000));
    }
    EXPECT_LT(decibels(worst), -75.0);

    EXPECT_TRUE(designLowpass(0, 0.1).empty());
    EXPECT_EQ(designLowpass(1, 0.1), std::vector<float>{1.0f});
    const auto three = designLowpass(3, 0.25);
    ASSERT_EQ(three.size(), 3U);
    EXPECT_NEAR(three[0] + three[1] + three[2], 1.0f, 1e-6);
}

TEST(ThreeToOneDecimator, ImpulseComesOutAsEveryThirdTapDelayedBySixteenOutputs) {
    ThreeToOneDecimator decimator;
    std::vector<float> input(300, 0.0f);
    input[0] = 1;
    std::vector<float> output;
    decimator.process(input.data(), static_cast<std::int64_t>(input.size()), output);
    ASSERT_EQ(output.size(), 100U);
    for (std::size_t j = 0; j < output.size(); ++j) {
        EXPECT_EQ(output[j], j <= 32 ? decimator.taps()[96 - 3 * j] : 0.0f) << "output " << j;
    }
    EXPECT_EQ(std::max_element(output.begin(), output.end()) - output.begin(), 16);
}

TEST(ThreeToOneDecimator, PassesAOneKilohertzToneAndRejectsNineKilohertz) {
    ThreeToOneDecimator decimator;
    const auto pass = run(decimator, tone(1'000, 48'000, 0.5, 96'000), 4'800);
    ASSERT_EQ(pass.size(), 32'000U);
    EXPECT_NEAR(amplitudeAt(pass, 1'000), 0.5, 0.0005);
    EXPECT_NEAR(rmsOfSecondSecond(pass), 0.5 / std::sqrt(2.0), 0.0005);

    ThreeToOneDecimator rejecting;
    const auto stop = run(rejecting, tone(9'000, 48'000, 0.5, 96'000), 4'800);
    // 9 kHz would fold to 7 kHz.
    EXPECT_LT(decibels(amplitudeAt(stop, 7'000) / 0.5), -75.0);
    EXPECT_LT(decibels(rmsOfSecondSecond(stop) / (0.5 / std::sqrt(2.0))), -75.0);
}

TEST(ConverterResampler, SizesItsBlocksFromTheInputRateAndRefusesRatesItCannotConvert) {
    struct Case {
        double rate;
        std::int64_t required;
        std::int64_t staging;
    };
    for (const auto& [rate, required, staging] :
         {Case{44'100, 1'218, 4'872}, Case{16'000, 768, 4'096}, Case{96'000, 2'048, 8'192},
          Case{22'050, 865, 4'096}, Case{8'000, 640, 4'096}}) {
        ConverterResampler converter(rate);
        EXPECT_EQ(converter.requiredInputFrames(), required) << rate;
        EXPECT_EQ(converter.stagingCapacity(), staging) << rate;
    }
    for (const double rate : {0.0, -44'100.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()}) {
        try {
            ConverterResampler converter(rate);
            ADD_FAILURE() << "accepted " << rate;
        } catch (const Error& error) {
            EXPECT_NE(std::string(error.what()).find("Cannot convert audio at"), std::string::npos);
        }
    }
}

TEST(ConverterResampler, ConvertsOnceABlockIsQueuedAndEveryWholeBlockOfOneCall) {
    ConverterResampler converter(44'100);
    const auto input = tone(1'000, 44'100, 0.5, 441'000);
    std::vector<float> output;
    converter.process(input.data(), 1'000, output);
    converter.process(input.data() + 1'000, 217, output);
    EXPECT_TRUE(output.empty());
    EXPECT_EQ(converter.queuedFrames(), 1'217);
    converter.process(input.data() + 1'217, 1, output);
    EXPECT_LT(converter.queuedFrames(), 1'217);

    ConverterResampler whole(44'100);
    output.clear();
    whole.process(input.data(), static_cast<std::int64_t>(input.size()), output);
    EXPECT_LT(whole.queuedFrames(), 1'218);
    // 10 s in, 160 000 frames out less what is still inside the converter or the queue.
    EXPECT_LE(output.size(), 160'000U);
    EXPECT_GT(output.size(), 160'000U - 1'500U);
}

// Fed in pieces of any size, a resampler gives what it gives for the whole input at once
// (the converter may still hold back a different tail).
TEST(Resampling, OutputDoesNotDependOnHowTheInputIsCut) {
    ThreeToOneDecimator wholeDecimator, piecesDecimator;
    ConverterResampler wholeConverter(44'100), piecesConverter(44'100);
    struct Case {
        Resampling& whole;
        Resampling& pieces;
        std::vector<float> input;
        std::vector<std::int64_t> cuts;
        std::size_t atLeast;
        bool sameLength;
    };
    const Case cases[] = {
        {wholeDecimator,
         piecesDecimator,
         tone(1'234, 48'000, 0.8, 48'000),
         {1, 2, 95, 96, 97, 98, 4'800, 13, 480, 7},
         16'000,
         true},
        {wholeConverter,
         piecesConverter,
         tone(2'345, 44'100, 0.7, 132'300),
         {441, 1, 1'217, 4'410, 13, 9'000, 706},
         45'000,
         false},
    };
    for (const auto& c : cases) {
        std::vector<float> expected;
        c.whole.process(c.input.data(), static_cast<std::int64_t>(c.input.size()), expected);
        std::vector<float> output;
        const auto size = static_cast<std::int64_t>(c.input.size());
        for (std::size_t i = 0, at = 0; static_cast<std::int64_t>(at) < size; ++i) {
            const auto n =
                std::min(c.cuts[i % c.cuts.size()], size - static_cast<std::int64_t>(at));
            c.pieces.process(c.input.data() + at, n, output);
            at += static_cast<std::size_t>(n);
        }
        const auto common = std::min(output.size(), expected.size());
        ASSERT_GE(common, c.atLeast);
        EXPECT_TRUE(std::equal(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(common),
                               expected.begin()));
        if (c.sameLength) {
            EXPECT_EQ(output.size(), expected.size());
        }
    }
}

class ConverterAtRate : public ::testing::TestWithParam<double> {};

// One kilohertz arrives at full level; 9 kHz and above (where the rate holds them) are
// rejected by at least 75 dB.
TEST_P(ConverterAtRate, PassesOneKilohertzAndRejectsNineKilohertzAndAbove) {
    const double rate = GetParam();
    const auto convert = [rate](double frequency) {
        ConverterResampler converter(rate);
        return run(converter, tone(frequency, rate, 0.5, static_cast<std::int64_t>(3 * rate)),
                   static_cast<std::int64_t>(rate / 10));
    };
    const auto output = convert(1'000);
    ASSERT_GT(output.size(), 40'000U);
    EXPECT_NEAR(amplitudeAt(output, 1'000), 0.5, 0.001);
    EXPECT_NEAR(rmsOfSecondSecond(output), 0.5 / std::sqrt(2.0), 0.001);
    EXPECT_LT(amplitudeAt(output, 999), 0.001);
    for (const double frequency : {9'000.0, 12'000.0, rate / 2 - 500}) {
        if (frequency < 9'000 || frequency >= rate / 2) continue;
        EXPECT_LT(decibels(rmsOfSecondSecond(convert(frequency)) / (0.5 / std::sqrt(2.0))), -75.0)
            << frequency << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(SourceRates, ConverterAtRate,
                         ::testing::Values(8'000.0, 16'000.0, 22'050.0, 44'100.0, 96'000.0));

}  // namespace
}  // namespace kavo

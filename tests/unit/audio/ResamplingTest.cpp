#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "support/AllocationProbe.h"
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

// Amplitude of one frequency over `count` samples from `first`; exact for whole periods.
double amplitudeAt(const std::vector<float>& samples, std::size_t first, std::size_t count,
                   double frequency, double rate) {
    std::complex<double> sum;
    for (std::size_t i = 0; i < count; ++i) {
        sum += static_cast<double>(samples[first + i]) *
               std::polar(1.0, -2 * pi * frequency * static_cast<double>(i) / rate);
    }
    return 2 * std::abs(sum) / static_cast<double>(count);
}

double rms(const std::vector<float>& samples, std::size_t first, std::size_t count) {
    double sum = 0;
    for (std::size_t i = first; i < first + count; ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    return std::sqrt(sum / static_cast<double>(count));
}

double decibels(double ratio) {
    return 20 * std::log10(ratio);
}

// Gain of an FIR at `frequency` (cycles per sample).
double responseAt(const std::vector<float>& taps, double frequency) {
    std::complex<double> sum;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        sum += static_cast<double>(taps[i]) *
               std::polar(1.0, -2 * pi * frequency * static_cast<double>(i));
    }
    return std::abs(sum);
}

std::vector<float> run(Resampling& resampler, const std::vector<float>& input, std::int64_t chunk) {
    std::vector<float> output;
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(input.size()); at += chunk) {
        const auto n = std::min<std::int64_t>(chunk, static_cast<std::int64_t>(input.size()) - at);
        resampler.process(input.data() + at, n, output);
    }
    return output;
}

TEST(Lowpass, SeventhKilohertzFilterResponseAtA48kHzInput) {
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
}

TEST(Lowpass, DegenerateSizes) {
    EXPECT_TRUE(designLowpass(0, 0.1).empty());
    EXPECT_EQ(designLowpass(1, 0.1), std::vector<float>{1.0f});
    const auto short3 = designLowpass(3, 0.25);
    ASSERT_EQ(short3.size(), 3U);
    EXPECT_NEAR(short3[0] + short3[1] + short3[2], 1.0f, 1e-6);
}

TEST(ThreeToOneDecimator, OutputCountsFollowTheHistory) {
    ThreeToOneDecimator decimator;
    std::vector<float> output;
    const float one = 1;
    decimator.process(&one, 1, output);  // 96 zeros + 1 = exactly one filter length
    EXPECT_EQ(output.size(), 1U);
    EXPECT_EQ(decimator.historyCount(), 94);

    // Single samples from there on: an output every third call.
    std::vector<std::size_t> sizes;
    for (int call = 0; call < 9; ++call) {
        decimator.process(&one, 1, output);
        sizes.push_back(output.size());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 1, 2, 2, 2, 3, 3, 3, 4}));

    ThreeToOneDecimator steady;
    std::vector<float> block(std::size_t{3} * 160, 0.25f);
    std::vector<float> out;
    for (int call = 0; call < 5; ++call) {
        const auto before = out.size();
        steady.process(block.data(), static_cast<std::int64_t>(block.size()), out);
        EXPECT_EQ(out.size() - before, 160U) << "call " << call;
        EXPECT_EQ(steady.historyCount(), 96);
    }
}

TEST(Resampling, NullEmptyAndNegativeInputChangeNothing) {
    ThreeToOneDecimator decimator;
    ConverterResampler converter(44'100);
    for (Resampling* resampler : std::initializer_list<Resampling*>{&decimator, &converter}) {
        std::vector<float> output{7};
        const float sample = 1;
        resampler->process(nullptr, 5, output);
        resampler->process(&sample, 0, output);
        resampler->process(&sample, -3, output);
        EXPECT_EQ(output, std::vector<float>{7});
    }
    EXPECT_EQ(decimator.historyCount(), 96);
    EXPECT_EQ(converter.queuedFrames(), 0);
}

TEST(ThreeToOneDecimator, ImpulseComesOutAsEveryThirdTapDelayedBySixteenOutputs) {
    ThreeToOneDecimator decimator;
    std::vector<float> input(300, 0.0f);
    input[0] = 1;
    std::vector<float> output;
    decimator.process(input.data(), static_cast<std::int64_t>(input.size()), output);
    ASSERT_EQ(output.size(), 100U);
    const auto& taps = decimator.taps();
    for (std::size_t j = 0; j < output.size(); ++j) {
        const float expected = j <= 32 ? taps[96 - 3 * j] : 0.0f;
        EXPECT_EQ(output[j], expected) << "output " << j;
    }
    EXPECT_EQ(std::max_element(output.begin(), output.end()) - output.begin(), 16);
}

TEST(ThreeToOneDecimator, ConstantInputSettlesAtUnitGain) {
    ThreeToOneDecimator decimator;
    const std::vector<float> ones(960, 1.0f);
    std::vector<float> output;
    decimator.process(ones.data(), static_cast<std::int64_t>(ones.size()), output);
    ASSERT_EQ(output.size(), 320U);
    EXPECT_LT(output[0], 0.01f);  // the zero history is still in the filter
    for (std::size_t j = 32; j < output.size(); ++j) {
        EXPECT_NEAR(output[j], 1.0f, 1e-6) << "output " << j;
    }
}

TEST(ThreeToOneDecimator, PassesAOneKilohertzToneAndRejectsNineKilohertz) {
    ThreeToOneDecimator decimator;
    const auto pass = run(decimator, tone(1'000, 48'000, 0.5, 96'000), 4'800);
    ASSERT_EQ(pass.size(), 32'000U);
    EXPECT_NEAR(amplitudeAt(pass, 16'000, 16'000, 1'000, 16'000), 0.5, 0.0005);
    EXPECT_NEAR(rms(pass, 16'000, 16'000), 0.5 / std::sqrt(2.0), 0.0005);

    ThreeToOneDecimator rejecting;
    const auto stop = run(rejecting, tone(9'000, 48'000, 0.5, 96'000), 4'800);
    // Above the output's Nyquist frequency 9 kHz would fold to 7 kHz.
    EXPECT_LT(decibels(amplitudeAt(stop, 16'000, 16'000, 7'000, 16'000) / 0.5), -75.0);
    EXPECT_LT(decibels(rms(stop, 16'000, 16'000) / (0.5 / std::sqrt(2.0))), -75.0);
}

TEST(ThreeToOneDecimator, SteadyStateDoesNotAllocate) {
    ThreeToOneDecimator decimator;
    const auto input = tone(440, 48'000, 0.5, 4'800);
    std::vector<float> output;
    output.reserve(20'000);
    decimator.process(input.data(), 4'800, output);
    const auto before = testing::allocationsOnThisThread();
    for (int tick = 0; tick < 10; ++tick) {
        decimator.process(input.data(), 4'800 - tick, output);
    }
    EXPECT_EQ(testing::allocationsOnThisThread() - before, 0);
}

TEST(ConverterResampler, SizesItsBlocksFromTheInputRate) {
    struct Case {
        double rate;
        std::int64_t required;
        std::int64_t staging;
    };
    for (const auto& [rate, required, staging] :
         {Case{44'100, 1'218, 4'872}, Case{16'000, 768, 4'096}, Case{96'000, 2'048, 8'192},
          Case{22'050, 865, 4'096}, Case{8'000, 640, 4'096}}) {
        ConverterResampler converter(rate);
        EXPECT_EQ(converter.inputRate(), rate);
        EXPECT_EQ(converter.requiredInputFrames(), required) << rate;
        EXPECT_EQ(converter.stagingCapacity(), staging) << rate;
    }
}

TEST(ConverterResampler, ConvertsOnlyOnceARequiredBlockIsQueued) {
    ConverterResampler converter(44'100);
    const auto input = tone(1'000, 44'100, 0.5, 1'218);
    std::vector<float> output;
    converter.process(input.data(), 1'000, output);
    converter.process(input.data() + 1'000, 217, output);
    EXPECT_TRUE(output.empty());
    EXPECT_EQ(converter.queuedFrames(), 1'217);

    converter.process(input.data() + 1'217, 1, output);
    // The converter has taken the queue in; what is left is below a block.
    EXPECT_LT(converter.queuedFrames(), 1'218);
    EXPECT_LT(converter.queuedFrames(), 1'217);
}

TEST(ConverterResampler, RefusesRatesItCannotConvert) {
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

TEST(ConverterResampler, LongInputIsConvertedUpToTheLastBlockWithinOneCall) {
    ConverterResampler converter(44'100);
    const auto input = tone(1'000, 44'100, 0.5, 441'000);
    std::vector<float> output;
    converter.process(input.data(), static_cast<std::int64_t>(input.size()), output);
    EXPECT_LT(converter.queuedFrames(), 1'218);
    // 10 s in, 160 000 frames out less what is still inside the converter or the queue.
    const auto missing = 160'000 - static_cast<std::int64_t>(output.size());
    EXPECT_GE(missing, 0);
    EXPECT_LT(missing, 1'500);
}

// Fed in pieces of any size, a resampler gives what it gives for the whole input at once
// (the converter may still hold back a different tail).
TEST(Resampling, OutputDoesNotDependOnHowTheInputIsCut) {
    ThreeToOneDecimator wholeDecimator;
    ThreeToOneDecimator piecesDecimator;
    ConverterResampler wholeConverter(44'100);
    ConverterResampler piecesConverter(44'100);
    struct Case {
        Resampling& whole;
        Resampling& pieces;
        std::vector<float> input;
        std::vector<std::int64_t> cuts;
        std::size_t atLeast;
        bool sameLength;
    };
    const Case cases[] = {
        {wholeDecimator, piecesDecimator, tone(1'234, 48'000, 0.8, 48'000),
         {1, 2, 95, 96, 97, 98, 4'800, 13, 480, 7}, 16'000, true},
        {wholeConverter, piecesConverter, tone(2'345, 44'100, 0.7, 132'300),
         {441, 1, 1'217, 4'410, 13, 9'000, 706}, 45'000, false},
    };
    for (const auto& c : cases) {
        std::vector<float> expected;
        c.whole.process(c.input.data(), static_cast<std::int64_t>(c.input.size()), expected);
        std::vector<float> output;
        std::int64_t at = 0;
        for (std::size_t i = 0; at < static_cast<std::int64_t>(c.input.size()); ++i) {
            const auto n = std::min(c.cuts[i % c.cuts.size()], static_cast<std::int64_t>(c.input.size()) - at);
            c.pieces.process(c.input.data() + at, n, output);
            at += n;
        }
        const auto common = std::min(output.size(), expected.size());
        ASSERT_GE(common, c.atLeast);
        EXPECT_TRUE(std::equal(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(common), expected.begin()));
        if (c.sameLength) {
            EXPECT_EQ(output.size(), expected.size());
        }
    }
}

class ConverterTone : public ::testing::TestWithParam<double> {};

TEST_P(ConverterTone, OneKilohertzArrivesAtOneKilohertzAndFullLevel) {
    const double rate = GetParam();
    ConverterResampler converter(rate);
    const auto input = tone(1'000, rate, 0.5, static_cast<std::int64_t>(3 * rate));
    const auto output = run(converter, input, static_cast<std::int64_t>(rate / 10));
    ASSERT_GT(output.size(), 40'000U);
    // One second from 1 s on: settled, and a whole number of periods of every tone.
    EXPECT_NEAR(amplitudeAt(output, 16'000, 16'000, 1'000, 16'000), 0.5, 0.001);
    EXPECT_NEAR(rms(output, 16'000, 16'000), 0.5 / std::sqrt(2.0), 0.001);
    EXPECT_LT(amplitudeAt(output, 16'000, 16'000, 999, 16'000), 0.001);
}

INSTANTIATE_TEST_SUITE_P(SourceRates, ConverterTone,
                         ::testing::Values(8'000.0, 16'000.0, 22'050.0, 44'100.0, 96'000.0));

class ConverterAlias : public ::testing::TestWithParam<double> {};

TEST_P(ConverterAlias, NineKilohertzAndAboveAreRejected) {
    const double rate = GetParam();
    for (const double frequency : {9'000.0, 12'000.0, rate / 2 - 500}) {
        ConverterResampler converter(rate);
        const auto output =
            run(converter, tone(frequency, rate, 0.5, static_cast<std::int64_t>(3 * rate)),
                static_cast<std::int64_t>(rate / 10));
        ASSERT_GT(output.size(), 32'000U);
        EXPECT_LT(decibels(rms(output, 16'000, 16'000) / (0.5 / std::sqrt(2.0))), -75.0)
            << frequency << " Hz at " << rate << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(SourceRates, ConverterAlias, ::testing::Values(44'100.0, 96'000.0));

TEST(ConverterResampler, DoesNotAllocateForTicksOrTheMixersQuarterSecondChunks) {
    // 0.1 s ticks after a short warm-up, then the quarter-second chunks the mixer drains
    // a ring in: neither may grow the queue on the mixer's queue.
    ConverterResampler converter(44'100);
    const auto input = tone(440, 44'100, 0.5, 11'025);
    std::vector<float> output;
    output.reserve(80'000);
    for (int tick = 0; tick < 3; ++tick) {
        converter.process(input.data(), 4'410, output);
    }
    auto before = testing::allocationsOnThisThread();
    for (int tick = 0; tick < 20; ++tick) {
        converter.process(input.data(), 4'410, output);
    }
    EXPECT_EQ(testing::allocationsOnThisThread() - before, 0);

    ConverterResampler fresh(44'100);
    output.clear();
    before = testing::allocationsOnThisThread();
    for (int chunk = 0; chunk < 6; ++chunk) {
        fresh.process(input.data(), 11'025, output);
    }
    EXPECT_EQ(testing::allocationsOnThisThread() - before, 0);
}

}  // namespace
}  // namespace kavo

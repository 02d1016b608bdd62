// A minute of a call through the real pipeline: two sources at their own rates, each
// delivering 10 ms blocks into its channel, mixed on a simulated host clock into a real
// WAVE file, which is then read back and analysed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "audio/Mixer.h"
#include "base/ManualScheduler.h"
#include "capture/files/WavWriter.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

constexpr double kMicAmplitude = 0.3;
constexpr double kSystemAmplitude = 0.2;
constexpr std::int64_t kBlocks = 6'000;  // 60 s of 10 ms blocks
constexpr std::size_t kWindow = 1'600;   // one tick: 44 cycles of 440 Hz, 100 of 1 kHz

struct Tone {
    double frequency;
    double rate;
    double amplitude;
    std::int64_t position = 0;

    std::vector<float> next(std::int64_t frames) {
        std::vector<float> block(static_cast<std::size_t>(frames));
        for (auto& sample : block) {
            sample =
                static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                        static_cast<double>(position++) / rate));
        }
        return block;
    }
};

// Amplitude of `frequency` in `samples` at 16 kHz, optionally Hann-windowed.
double amplitudeAt(const std::int16_t* samples, std::size_t count, double frequency,
                   bool hann = false) {
    const double w = 2 * std::numbers::pi * frequency / 16'000;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    double windowSum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double window =
            hann ? 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) /
                                        static_cast<double>(count))
                 : 1.0;
        windowSum += window;
        const double s0 = window * samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

// The 44-byte header of a closed 16 kHz mono 16-bit file holding `audioBytes`.
std::string expectedHeader(std::uint32_t audioBytes) {
    std::string header;
    const auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) header.push_back(static_cast<char>(value >> (8 * i)));
    };
    header += "RIFF";
    put(36 + audioBytes, 4);
    header += "WAVEfmt ";
    put(16, 4);      // PCM fmt chunk
    put(1, 2);       // integer PCM
    put(1, 2);       // mono
    put(16'000, 4);  // frames per second
    put(32'000, 4);  // bytes per second
    put(2, 2);       // bytes per frame
    put(16, 2);      // bits per sample
    header += "data";
    put(audioBytes, 4);
    return header;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(),
                     values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

TEST(TwoChannelMix, AMinuteOfTwoSourcesAtTheirOwnRatesLandsInTheFile) {
    testing::TempDir dir;
    const auto path = dir / "capture-two-channel.wav";
    ManualClock clock;
    ManualScheduler scheduler(clock);
    auto writer = std::make_shared<WavWriter>(path, 16'000, 1, 16);
    auto mic = std::make_shared<Mixer::Channel>("mic", 16'000);
    auto system = std::make_shared<Mixer::Channel>("system", 16'000);
    auto mixer = Mixer::create(
        {mic, system}, writer, [&clock] { return clock.hostTime(); }, scheduler);
    mixer->queue().sync([&] {
        mic->reconfigure(48'000);
        system->reconfigure(44'100);
    });
    mixer->start(false);

    Tone micTone{440, 48'000, kMicAmplitude};
    Tone systemTone{1'000, 44'100, kSystemAmplitude};
    for (std::int64_t block = 1; block <= kBlocks; ++block) {
        clock.advance(std::chrono::milliseconds(10));
        const auto micBlock = micTone.next(480);
        const auto systemBlock = systemTone.next(441);
        mic->deliver(micBlock.data(), 480, clock.hostTime());
        system->deliver(systemBlock.data(), 441, clock.hostTime());
        if (block % 10 == 0) {
            mixer->queue().sync([&] { mixer->tick(); });
        }
    }
    mixer->stop();
    EXPECT_EQ(writer->close(), 1'920'000);

    EXPECT_EQ(mixer->framesWritten(), 960'000);
    for (const auto* channel : {mic.get(), system.get()}) {
        SCOPED_TRACE(channel->name());
        EXPECT_EQ(channel->totalFrames(), 960'000);
        EXPECT_EQ(channel->droppedSourceFrames(), 0);
        EXPECT_EQ(channel->driftCorrections(), 6);  // at 10, 20, ... 60 s
        EXPECT_GT(channel->lastRealFrame(), 960'000 - 1'600);
    }

    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    ASSERT_EQ(bytes.size(), 44U + 1'920'000U);
    EXPECT_EQ(std::string(bytes.data(), 44), expectedHeader(1'920'000));

    std::vector<std::int16_t> audio(960'000);
    std::memcpy(audio.data(), bytes.data() + 44, bytes.size() - 44);

    // Where the spectrum peaks over a second of the file: each tone at its own frequency,
    // not where a rate mix-up would put it (404 Hz, 1 088 Hz).
    const auto* second = audio.data() + 48'000;  // the fourth second
    std::vector<std::pair<double, int>> spectrum;
    for (int f = 200; f <= 2'000; ++f) {
        spectrum.emplace_back(amplitudeAt(second, 16'000, f, true), f);
    }
    std::sort(spectrum.rbegin(), spectrum.rend());
    EXPECT_EQ(spectrum[0].second, 440);
    const auto other = std::find_if(spectrum.begin(), spectrum.end(),
                                    [](const auto& p) { return std::abs(p.second - 440) > 5; });
    ASSERT_NE(other, spectrum.end());
    EXPECT_EQ(other->second, 1'000);
    EXPECT_LT(amplitudeAt(second, 16'000, 404, true), 0.001 * spectrum[0].first);
    EXPECT_LT(amplitudeAt(second, 16'000, 1'088, true), 0.001 * other->first);

    // Levels, one tick at a time from the second second on: a tick's frames are contiguous
    // apart from silence at its end (an underrun) or a zero-crossing splice at its start.
    std::vector<double> micLevels;
    std::vector<double> systemLevels;
    for (std::size_t at = 16'000; at + kWindow <= audio.size(); at += kWindow) {
        micLevels.push_back(amplitudeAt(audio.data() + at, kWindow, 440) / 32'767);
        systemLevels.push_back(amplitudeAt(audio.data() + at, kWindow, 1'000) / 32'767);
    }
    EXPECT_NEAR(median(micLevels), kMicAmplitude, 0.01 * kMicAmplitude);
    EXPECT_NEAR(median(systemLevels), kSystemAmplitude, 0.01 * kSystemAmplitude);
    const auto steady = [](const std::vector<double>& levels, double expected) {
        return std::count_if(levels.begin(), levels.end(), [&](double level) {
            return std::fabs(level - expected) < 0.02 * expected;
        });
    };
    EXPECT_GE(steady(micLevels, kMicAmplitude),
              static_cast<std::ptrdiff_t>(micLevels.size() * 95 / 100));
    EXPECT_GE(steady(systemLevels, kSystemAmplitude),
              static_cast<std::ptrdiff_t>(systemLevels.size() * 95 / 100));
    const auto peak = *std::max_element(audio.begin(), audio.end(),
                                        [](auto a, auto b) { return std::abs(a) < std::abs(b); });
    EXPECT_LE(std::abs(peak), static_cast<int>(std::lround(0.5 * 32'767)) + 50);
}

}  // namespace
}  // namespace kavo

// Speed and alias rejection of the resampling and downmix stages, with sox's own rate
// conversion of the same input for comparison.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "audio/AudioBufferList.h"
#include "audio/ConverterResampler.h"
#include "audio/MonoDownmixer.h"
#include "audio/ThreeToOneDecimator.h"

namespace {

using kavo::ConverterResampler;
using kavo::Resampling;
using kavo::ThreeToOneDecimator;

constexpr double pi = std::numbers::pi;

std::vector<float> noise(std::int64_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-0.3f, 0.3f);
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (auto& sample : samples) {
        sample = uniform(random);
    }
    return samples;
}

// Amplitude 0.5.
std::vector<float> tone(double frequency, double rate, std::int64_t count) {
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        samples[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 * std::sin(2 * pi * frequency * static_cast<double>(i) / rate));
    }
    return samples;
}

void countFrames(benchmark::State& state, std::int64_t frames) {
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["time/frame"] = benchmark::Counter(
        static_cast<double>(frames),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One mixer tick: 0.1 s of source audio through the resampler.
void runResampler(benchmark::State& state, Resampling& resampler, double rate) {
    const auto tick = static_cast<std::int64_t>(rate / 10);
    const auto input = noise(tick * 50, 7);
    std::vector<float> output;
    output.reserve(4'096);
    std::size_t at = 0;
    for (auto _ : state) {
        output.clear();
        resampler.process(input.data() + at, tick, output);
        benchmark::DoNotOptimize(output.data());
        at = (at + static_cast<std::size_t>(tick)) % input.size();
    }
    countFrames(state, tick);
}

void BM_ThreeToOneDecimator(benchmark::State& state) {
    ThreeToOneDecimator decimator;
    runResampler(state, decimator, 48'000);
}
BENCHMARK(BM_ThreeToOneDecimator);

void BM_ConverterResampler(benchmark::State& state) {
    const auto rate = static_cast<double>(state.range(0));
    ConverterResampler converter(rate);
    runResampler(state, converter, rate);
}
BENCHMARK(BM_ConverterResampler)->Arg(44'100)->Arg(96'000)->Arg(22'050);

// 10 ms of 48 kHz stereo, interleaved, as an endpoint delivers it.
void BM_MonoDownmixerStereo(benchmark::State& state) {
    const auto samples = noise(2 * 480, 3);
    const kavo::AudioBuffer buffers[] = {
        {2, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()}};
    kavo::MonoDownmixer downmixer(12'000);
    for (auto _ : state) {
        const auto mono = downmixer.downmix({buffers});
        benchmark::DoNotOptimize(mono.data());
    }
    countFrames(state, 480);
}
BENCHMARK(BM_MonoDownmixerStereo);

// Keeps every benchmark's time per frame for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nsPerFrame;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto counter = run.counters.find("time/frame");
            if (!run.error_occurred && counter != run.counters.end()) {
                nsPerFrame[run.benchmark_name()] = counter->second.value * 1e9;
            }
        }
    }
};

double rms(const std::vector<float>& samples, std::size_t first, std::size_t count) {
    double sum = 0;
    for (std::size_t i = first; i < first + count && i < samples.size(); ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    return std::sqrt(sum / static_cast<double>(count));
}

// RMS of the settled output (0.5 s to 1.5 s) for a 2 s tone at amplitude 0.5.
double outputLevel(const std::function<std::unique_ptr<Resampling>()>& make, double frequency) {
    auto resampler = make();
    const double rate = resampler->inputRate();
    const auto input = tone(frequency, rate, static_cast<std::int64_t>(2 * rate));
    const auto tick = static_cast<std::int64_t>(rate / 10);
    std::vector<float> output;
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(input.size()); at += tick) {
        resampler->process(
            input.data() + at,
            std::min<std::int64_t>(tick, static_cast<std::int64_t>(input.size()) - at), output);
    }
    return rms(output, 8'000, 16'000);
}

struct Rejection {
    double decibels;
    double worstFrequency;
};

// The smallest ratio, over tones from `low` to `high`, between the output level of a 1 kHz
// tone and the level of the tone's alias.
Rejection aliasRejection(const std::function<std::unique_ptr<Resampling>()>& make, double low,
                         double high, double step) {
    const double passband = outputLevel(make, 1'000);
    Rejection worst{std::numeric_limits<double>::infinity(), 0};
    for (double f = low; f <= high; f += step) {
        const double level = std::max(outputLevel(make, f), 1e-12);
        const double decibels = 20 * std::log10(passband / level);
        if (decibels < worst.decibels) {
            worst = {decibels, f};
        }
    }
    return worst;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct SoxComparison {
    double soxNsPerFrame = 0;
    double oursNsPerFrame = 0;
    std::int64_t soxFrames = 0;
    std::int64_t ourFrames = 0;
    bool soxRan = false;
};

// Five minutes of 44.1 kHz input, converted by sox from a raw file and by our converter in
// mixer ticks. Best of three runs each; sox's time includes its start-up and file I/O.
SoxComparison compareWithSox() {
    constexpr double rate = 44'100;
    const auto frames = static_cast<std::int64_t>(300 * rate);
    auto input = noise(frames, 11);
    const auto mixIn = tone(1'000, rate, frames);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] += mixIn[i];
    }

    SoxComparison result;
    const auto dir = std::filesystem::temp_directory_path() /
                     fmt::format("kavo-dsp-bench-{}", static_cast<long>(getpid()));
    std::filesystem::create_directories(dir);
    const auto in = dir / "in.raw";
    const auto out = dir / "out.raw";
    {
        std::ofstream file(in, std::ios::binary);
        file.write(reinterpret_cast<const char*>(input.data()),
                   static_cast<std::streamsize>(input.size() * sizeof(float)));
    }
    const auto command = fmt::format("sox -t f32 -r 44100 -c 1 '{}' -t f32 -r 16000 '{}'",
                                     in.string(), out.string());
    double best = std::numeric_limits<double>::infinity();
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        const double elapsed = secondsSince(start);
        if (status != 0) {
            break;
        }
        result.soxRan = true;
        best = std::min(best, elapsed);
    }
    if (result.soxRan) {
        result.soxNsPerFrame = best * 1e9 / static_cast<double>(frames);
        result.soxFrames =
            static_cast<std::int64_t>(std::filesystem::file_size(out) / sizeof(float));
    }
    std::filesystem::remove_all(dir);

    best = std::numeric_limits<double>::infinity();
    const auto tick = static_cast<std::int64_t>(rate / 10);
    std::vector<float> output;
    output.reserve(static_cast<std::size_t>(frames));
    for (int run = 0; run < 3; ++run) {
        ConverterResampler converter(rate);
        output.clear();
        const auto start = std::chrono::steady_clock::now();
        for (std::int64_t at = 0; at < frames; at += tick) {
            converter.process(input.data() + at, std::min(tick, frames - at), output);
        }
        best = std::min(best, secondsSince(start));
    }
    result.oursNsPerFrame = best * 1e9 / static_cast<double>(frames);
    result.ourFrames = static_cast<std::int64_t>(output.size());
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto decimator = [] { return std::unique_ptr<Resampling>(new ThreeToOneDecimator()); };
    const auto converter = [] {
        return std::unique_ptr<Resampling>(new ConverterResampler(44'100));
    };
    const auto converterRejection = aliasRejection(converter, 8'500, 22'000, 50);
    const auto decimatorRejection = aliasRejection(decimator, 8'500, 23'950, 50);
    const auto converterTransition = aliasRejection(converter, 8'050, 8'450, 50);
    const auto decimatorTransition = aliasRejection(decimator, 8'050, 8'450, 50);
    const auto sox = compareWithSox();

    const auto figure = [&](const std::string& name) {
        const auto found = reporter.nsPerFrame.find(name);
        return found == reporter.nsPerFrame.end() ? std::nan("") : found->second;
    };
    fmt::print("\n");
    fmt::print("decimator 48 kHz -> 16 kHz: {:.2f} ns/frame\n", figure("BM_ThreeToOneDecimator"));
    fmt::print("converter 44.1 kHz -> 16 kHz: {:.2f} ns/frame\n",
               figure("BM_ConverterResampler/44100"));
    fmt::print("converter 96 kHz -> 16 kHz: {:.2f} ns/frame\n",
               figure("BM_ConverterResampler/96000"));
    fmt::print("converter 22.05 kHz -> 16 kHz: {:.2f} ns/frame\n",
               figure("BM_ConverterResampler/22050"));
    fmt::print("downmix 48 kHz stereo -> mono: {:.2f} ns/frame\n",
               figure("BM_MonoDownmixerStereo"));
    fmt::print(
        "alias rejection 44.1 kHz -> 16 kHz, tones 8.5-22.0 kHz: {:.1f} dB (worst at {:.0f} Hz; "
        "target >= 75 dB)\n",
        converterRejection.decibels, converterRejection.worstFrequency);
    fmt::print(
        "alias rejection decimator 48 kHz -> 16 kHz, tones 8.5-23.95 kHz: {:.1f} dB (worst at "
        "{:.0f} Hz; target >= 75 dB)\n",
        decimatorRejection.decibels, decimatorRejection.worstFrequency);
    fmt::print(
        "alias rejection 44.1 kHz -> 16 kHz, transition band 8.05-8.45 kHz: {:.1f} dB (worst at "
        "{:.0f} Hz)\n",
        converterTransition.decibels, converterTransition.worstFrequency);
    fmt::print(
        "alias rejection decimator, transition band 8.05-8.45 kHz (its 7 kHz filter is -39 dB "
        "at 8 kHz): {:.1f} dB (worst at {:.0f} Hz)\n",
        decimatorTransition.decibels, decimatorTransition.worstFrequency);
    if (sox.soxRan) {
        fmt::print(
            "sox 44.1 kHz -> 16 kHz, 300 s from a raw file (incl. start-up and I/O): {:.2f} "
            "ns/frame, {:.0f}x real time, {} frames out\n",
            sox.soxNsPerFrame, 1e9 / 44'100 / sox.soxNsPerFrame, sox.soxFrames);
    } else {
        fmt::print("sox 44.1 kHz -> 16 kHz: sox did not run (is the sox package installed?)\n");
    }
    fmt::print(
        "converter 44.1 kHz -> 16 kHz, same 300 s in 0.1 s ticks: {:.2f} ns/frame, {:.0f}x "
        "real time, {} frames out\n",
        sox.oursNsPerFrame, 1e9 / 44'100 / sox.oursNsPerFrame, sox.ourFrames);
    return 0;
}

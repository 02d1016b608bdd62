// Mixing speed of a two-source capture, all on one thread: a 48 kHz stereo source folded
// to mono and a 44.1 kHz mono source, each delivered in 10 ms blocks into its channel,
// mixed on a simulated host clock with a tick every 0.1 s, over one hour of audio.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "audio/AudioBufferList.h"
#include "audio/Mixer.h"
#include "audio/MonoDownmixer.h"
#include "support/ManualScheduler.h"

namespace {

using kavo::Mixer;

constexpr double kHourSeconds = 3'600.0;
constexpr std::int64_t kBlocksPerTick = 10;

// Keeps the output observable so that nothing is optimised away.
class ChecksumSink final : public kavo::PCMSink {
public:
    void append(const std::int16_t* samples, std::int64_t count) override {
        for (std::int64_t i = 0; i < count; ++i) {
            checksum += samples[i];
        }
        frames += count;
    }
    std::int64_t checksum = 0;
    std::int64_t frames = 0;
};

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One second of a tone, `channels` interleaved copies; a whole number of cycles, so it
// loops without a seam.
std::vector<float> toneSecond(double frequency, int rate, int channels, double amplitude) {
    std::vector<float> samples;
    samples.reserve(static_cast<std::size_t>(rate) * static_cast<std::size_t>(channels));
    for (int i = 0; i < rate; ++i) {
        const auto value =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * i / rate));
        samples.insert(samples.end(), static_cast<std::size_t>(channels), value);
    }
    return samples;
}

struct Result {
    double cpuSeconds;
    double wallSeconds;
    std::int64_t frames;
};

Result mix(double audioSeconds) {
    kavo::ManualClock clock;
    kavo::ManualScheduler scheduler(clock);
    auto sink = std::make_shared<ChecksumSink>();
    auto mic = std::make_shared<Mixer::Channel>("mic", 48'000);
    auto system = std::make_shared<Mixer::Channel>("system", 44'100);
    auto mixer = Mixer::create(
        {mic, system}, sink, [&clock] { return clock.hostTime(); }, scheduler);

    const auto stereo = toneSecond(440, 48'000, 2, 0.4);
    const auto mono = toneSecond(1'000, 44'100, 1, 0.4);
    kavo::MonoDownmixer downmixer(12'000);
    const auto blocks = static_cast<std::int64_t>(std::llround(audioSeconds * 100));

    mixer->start(false);
    const double cpuStart = threadCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    for (std::int64_t block = 0; block < blocks; ++block) {
        clock.advance(std::chrono::milliseconds(10));
        const auto within = block % 100;
        const kavo::AudioBuffer buffer{2, 480 * 2 * 4, stereo.data() + within * 480 * 2};
        const auto folded = downmixer.downmix(kavo::AudioBufferList{{&buffer, 1}});
        mic->deliver(folded.data(), static_cast<std::int64_t>(folded.size()), clock.hostTime());
        system->deliver(mono.data() + within * 441, 441, clock.hostTime());
        if ((block + 1) % kBlocksPerTick == 0) {
            mixer->tick();
        }
    }
    mixer->stop();
    const double cpu = threadCpuSeconds() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    benchmark::DoNotOptimize(sink->checksum);
    return {cpu, wall, sink->frames};
}

}  // namespace

int main() {
    mix(60.0);  // warm caches and allocator
    const Result hour = mix(kHourSeconds);
    fmt::print(
        "mixer: audio mixed: {:.0f} s (48 kHz stereo downmixed + 44.1 kHz mono -> {} frames at 16 "
        "kHz)\n",
        kHourSeconds, hour.frames);
    fmt::print("mixer: CPU time for one hour: {:.3f} s\n", hour.cpuSeconds);
    fmt::print("mixer: wall time for one hour: {:.3f} s\n", hour.wallSeconds);
    fmt::print("mixer: speed on one core: {:.0f}x real time (target >= 1000x)\n",
               kHourSeconds / hour.cpuSeconds);
    fmt::print("mixer: CPU per output frame: {:.1f} ns\n",
               hour.cpuSeconds * 1e9 / static_cast<double>(hour.frames));
    return hour.frames == static_cast<std::int64_t>(kHourSeconds * Mixer::kOutputRate) ? 0 : 1;
}

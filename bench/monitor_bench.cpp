// The far side as `kavo-meetings record` takes it from the output's monitor, against a plain
// `parec` on the same monitor at the same time, on a private audio server (PipeWire with
// KAVO_TEST_AUDIO_SERVER=pipewire): a tone with a click every half second plays on the
// output, and for each recording the bench prints where the clicks land against where the
// player put them (audio that arrives late moves them later) and every run of exact zeros
// in it (the server's audio never is for a millisecond).
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/PulseDaemon.h"

namespace {

constexpr double kRate = 16'000;
constexpr double kClickEvery = 0.5;
constexpr double kClickSeconds = 0.003;

void putLittleEndian(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A 300 Hz tone with a 3 ms burst of 4 kHz every half second, 48 kHz stereo 16-bit.
void writeClicks(const std::filesystem::path& file, double seconds) {
    constexpr std::uint32_t rate = 48'000;
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    std::ofstream out(file, std::ios::binary);
    out.write("RIFF", 4);
    putLittleEndian(out, 36 + frames * 4, 4);
    out.write("WAVEfmt ", 8);
    putLittleEndian(out, 16, 4);
    putLittleEndian(out, 1, 2);
    putLittleEndian(out, 2, 2);
    putLittleEndian(out, rate, 4);
    putLittleEndian(out, rate * 4, 4);
    putLittleEndian(out, 4, 2);
    putLittleEndian(out, 16, 2);
    out.write("data", 4);
    putLittleEndian(out, frames * 4, 4);
    for (std::uint32_t n = 0; n < frames; ++n) {
        const double t = n / static_cast<double>(rate);
        double value = 0.25 * std::sin(2 * std::numbers::pi * 300 * t);
        if (std::fmod(t, kClickEvery) < kClickSeconds)
            value += 0.6 * std::sin(2 * std::numbers::pi * 4000 * t);
        const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
        for (int channel = 0; channel < 2; ++channel)
            putLittleEndian(out, static_cast<std::uint16_t>(sample), 2);
    }
}

std::vector<char> readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Where each click begins, in seconds: a jump between samples far above the tone's.
std::vector<double> clicksIn(const std::vector<float>& samples) {
    std::vector<double> clicks;
    for (std::size_t n = 1; n < samples.size(); ++n) {
        if (std::fabs(samples[n] - samples[n - 1]) < 0.3f) continue;
        const double at = static_cast<double>(n) / kRate;
        if (clicks.empty() || at - clicks.back() > kClickEvery / 2) clicks.push_back(at);
    }
    return clicks;
}

void report(const char* which, const std::vector<float>& samples) {
    const auto clicks = clicksIn(samples);
    if (clicks.size() < 2) {
        std::printf("%s: no clicks recorded (%zu samples)\n", which, samples.size());
        return;
    }
    // Each click against the player's spacing from the first one.
    double latest = 0;
    double earliest = 0;
    double latestAt = 0;
    for (std::size_t k = 0; k < clicks.size(); ++k) {
        const double off = clicks[k] - clicks[0] - static_cast<double>(k) * kClickEvery;
        if (off > latest) {
            latest = off;
            latestAt = clicks[k];
        }
        earliest = std::min(earliest, off);
    }
    const double last = clicks.back() - clicks[0] - static_cast<double>(clicks.size() - 1) * 0.5;
    std::printf(
        "%s: %zu clicks; against the player: latest %+.1f ms (at %.2f s), earliest %+.1f ms, "
        "last %+.1f ms\n",
        which, clicks.size(), latest * 1000, latestAt, earliest * 1000, last * 1000);
    // Runs of exact zeros of a millisecond or more while the tone plays.
    const auto first = static_cast<std::size_t>(clicks.front() * kRate);
    const auto end = static_cast<std::size_t>(clicks.back() * kRate);
    int runs = 0;
    for (std::size_t n = first; n < end;) {
        std::size_t length = 0;
        while (n + length < end && samples[n + length] == 0.0f) ++length;
        if (length >= static_cast<std::size_t>(kRate / 1000)) {
            ++runs;
            std::printf("%s: %.1f ms of exact zeros at %.3f s\n", which,
                        static_cast<double>(length) / kRate * 1000, static_cast<double>(n) / kRate);
        }
        n += length + 1;
    }
    if (runs == 0) std::printf("%s: no run of exact zeros\n", which);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 20.0;
    kavo::testing::PulseDaemon daemon;
    std::printf("audio server: %s, recording length: %.0f s\n",
                kavo::testing::PulseDaemon::server() == kavo::testing::PulseDaemon::Server::pipewire
                    ? "PipeWire"
                    : "PulseAudio",
                seconds);
    const auto data = daemon.home() / "data";
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    const auto clicks = daemon.home() / "clicks.wav";
    writeClicks(clicks, seconds + 10);
    const auto parecFile = daemon.home() / "parec.raw";

    kavo::testing::ChildProcess parec(
        {.command = {"parec", "--device=speakers.monitor", "--raw", "--format=float32le",
                     "--rate=16000", "--channels=1", "--latency-msec=20"},
         .out = parecFile});
    kavo::testing::ChildProcess kavo({.command = {KAVO_BINARY_DIR "/src/kavo-meetings", "record",
                                                  "--seconds", std::to_string(seconds)},
                                      .out = daemon.home() / "record.log"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto player = daemon.play("speakers", clicks);
    if (kavo.wait() != 0) {
        std::fprintf(stderr, "kavo-meetings record failed: see %s\n",
                     (daemon.home() / "record.log").c_str());
        return 1;
    }
    parec.stop();

    std::vector<float> kavoSamples;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) {
        if (entry.path().extension() != ".wav") continue;
        const auto bytes = readAll(entry.path());
        for (std::size_t at = 44; at + 1 < bytes.size(); at += 2) {
            std::int16_t sample = 0;
            std::memcpy(&sample, &bytes[at], 2);
            kavoSamples.push_back(static_cast<float>(sample) / 32768.0f);
        }
    }
    const auto parecBytes = readAll(parecFile);
    std::vector<float> parecSamples(parecBytes.size() / sizeof(float));
    std::memcpy(parecSamples.data(), parecBytes.data(), parecSamples.size() * sizeof(float));
    report("kavo-meetings record", kavoSamples);
    report("parec", parecSamples);
    return 0;
}

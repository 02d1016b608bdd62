#include "support/EchoScenario.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "support/PulseDaemon.h"

namespace kavo::testing {
namespace {

void run(const std::vector<std::string>& command) {
    const auto result = PulseDaemon::run(command);
    if (result.status != 0)
        throw std::runtime_error("could not make the echo scenario: " + command[0]);
}

double durationOf(const std::filesystem::path& wave) {
    return static_cast<double>(EchoScenario::samplesOf(wave).size()) / EchoScenario::kRate;
}

// Speech as 16 kHz mono 16-bit.
std::filesystem::path speak(const std::filesystem::path& directory, const std::string& name,
                            const std::string& voice, const std::string& text) {
    const auto raw = directory / (name + "-raw.wav");
    const auto file = directory / (name + ".wav");
    run({"espeak-ng", "-v", voice, "-s", "165", "-w", raw.string(), text});
    run({"sox", raw.string(), "-r", "16000", "-c", "1", "-b", "16", file.string(), "norm", "-3"});
    return file;
}

// The pieces, each starting at its offset in seconds, mixed at full level.
void place(const std::vector<std::pair<std::filesystem::path, double>>& pieces, double length,
           const std::filesystem::path& into) {
    std::vector<std::string> command{"sox", "-m"};
    int n = 0;
    for (const auto& [file, at] : pieces) {
        const auto padded =
            into.parent_path() / (into.stem().string() + std::to_string(n++) + ".wav");
        run({"sox", file.string(), padded.string(), "pad", std::to_string(at), "0"});
        command.insert(command.end(), {"-v", "1", padded.string()});
    }
    command.insert(command.end(), {"-b", "16", into.string(), "trim", "0", std::to_string(length)});
    if (pieces.size() == 1) command.erase(command.begin() + 1);
    run(command);
}

// Energy per 10 ms, as decibels relative to full scale.
std::vector<double> envelope(const std::vector<float>& samples) {
    constexpr std::size_t kHop = 160;
    std::vector<double> out(samples.size() / kHop);
    for (std::size_t i = 0; i < out.size(); ++i) {
        double sum = 0;
        for (std::size_t k = 0; k < kHop; ++k)
            sum += double(samples[i * kHop + k]) * samples[i * kHop + k];
        out[i] = 10 * std::log10(sum / kHop + 1e-9);
    }
    return out;
}

double energy(const std::vector<float>& samples, double offset, EchoScenario::Window window) {
    const auto index = [&](double seconds) {
        return std::clamp<std::int64_t>(std::llround((seconds + offset) * EchoScenario::kRate), 0,
                                        static_cast<std::int64_t>(samples.size()));
    };
    double sum = 0;
    for (std::int64_t i = index(window.from); i < index(window.to); ++i)
        sum += double(samples[static_cast<std::size_t>(i)]) * samples[static_cast<std::size_t>(i)];
    return sum;
}

double decibels(double ratio) {
    return 10 * std::log10(std::max(ratio, 1e-12));
}

}  // namespace

EchoScenario::EchoScenario(const std::filesystem::path& directory, double echoDelaySeconds) {
    const auto far = speak(directory, "far-a", "en-us",
                           "Thanks everyone for joining. Let us go through the quarterly numbers "
                           "first, and then we will talk about the roadmap for the next release.");
    const auto farOverlap = speak(directory, "far-b", "en-us",
                                  "So the second item is the budget, which we have to settle "
                                  "before the end of the month.");
    const auto nearSpeech =
        speak(directory, "near", "en-gb+f3", "Sorry, could you share the slides again please?");
    const double farLength = durationOf(far);
    const double nearLength = durationOf(nearSpeech);
    const double overlapLength = durationOf(farOverlap);

    const double farAt = 0.5;
    const double nearAt = farAt + farLength + echoDelaySeconds + 1.0;
    const double doubleTalkAt = nearAt + nearLength + 1.0;
    seconds_ = doubleTalkAt + std::max(nearLength, overlapLength) + echoDelaySeconds + 1.0;
    farOnly_ = {farAt + echoDelaySeconds + kConvergence, farAt + farLength + echoDelaySeconds};
    nearOnly_ = {nearAt - 0.25, nearAt + nearLength + 0.25};
    doubleTalk_ = {doubleTalkAt - 0.25, doubleTalkAt + nearLength + 0.25};

    farEnd_ = directory / "far-end.wav";
    place({{far, farAt}, {farOverlap, doubleTalkAt}}, seconds_, farEnd_);
    // The room: a quieter, reverberant, late copy of what the speakers play.
    const auto echo = directory / "echo.wav";
    run({"sox", farEnd_.string(), echo.string(), "gain", "-8", "reverb", "40", "50", "60", "pad",
         std::to_string(echoDelaySeconds), "0", "trim", "0", std::to_string(seconds_)});
    nearEnd_ = directory / "near-end.wav";
    place({{nearSpeech, nearAt}, {nearSpeech, doubleTalkAt}}, seconds_, nearEnd_);
    microphone_ = directory / "microphone.wav";
    run({"sox", "-m", "-v", "1", echo.string(), "-v", "1", nearEnd_.string(), "-b", "16",
         microphone_.string()});
    call_ = directory / "call.wav";
    run({"sox", "-M", farEnd_.string(), microphone_.string(), "-b", "16", call_.string(), "remix",
         "1v0.5,2v-0.5", "2v0.5"});
}

std::vector<float> EchoScenario::samplesOf(const std::filesystem::path& wave) {
    std::ifstream in(wave, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    // sox writes the canonical 44-byte header for 16-bit PCM.
    std::vector<float> samples;
    for (std::size_t at = 44; at + 1 < bytes.size(); at += 2) {
        std::int16_t sample = 0;
        std::memcpy(&sample, &bytes[at], 2);
        samples.push_back(static_cast<float>(sample) / 32768.0f);
    }
    return samples;
}

double EchoScenario::offsetOf(const std::vector<float>& recorded, const std::vector<float>& track,
                              double search) {
    const auto got = envelope(recorded);
    const auto want = envelope(track);
    const auto lags = static_cast<std::size_t>(search * 100);
    double best = -1e300;
    std::size_t bestLag = 0;
    for (std::size_t lag = 0; lag < lags && lag < got.size(); ++lag) {
        double score = 0;
        for (std::size_t i = 0; i < want.size() && lag + i < got.size(); ++i) {
            // Floors at -60 dB so that silence matches silence without dominating.
            score += (std::max(got[lag + i], -60.0) + 60) * (std::max(want[i], -60.0) + 60);
        }
        if (score > best) std::tie(best, bestLag) = std::pair{score, lag};
    }
    return static_cast<double>(bestLag) / 100.0;
}

EchoScenario::Result EchoScenario::measure(const std::vector<float>& in, double inOffset,
                                           const std::vector<float>& out, double outOffset) const {
    return {.erleDb = decibels(energy(in, inOffset, farOnly_) / energy(out, outOffset, farOnly_)),
            .doubleTalkChangeDb =
                decibels(energy(out, outOffset, doubleTalk_) / energy(in, inOffset, nearOnly_))};
}

}  // namespace kavo::testing

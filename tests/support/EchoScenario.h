#pragma once

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>

#include "audio/EchoCanceller.h"

namespace kavo::testing {

// A call heard on laptop speakers, made once into WAVE files (espeak-ng speech, sox room):
// what the far side says, played to the speakers, and what the microphone hears meanwhile,
// the same speech delayed, attenuated and reverberated, with the near side's own speech
// alone and then again over the far side (double talk). 16 kHz mono.
class EchoScenario {
public:
    static constexpr double kRate = 16'000;
    // How long the canceller may take to converge on the far side's first speech.
    static constexpr double kConvergence = 2.0;

    // Writes the files into `directory`; throws when espeak-ng or sox fail.
    EchoScenario(const std::filesystem::path& directory, double echoDelaySeconds);

    // Both in one stereo file for one stream to the speakers: the right channel is what
    // the microphone hears, the left the far end less it, so that the speakers folded to
    // mono play the far end alone (at a quarter of its level, the right channel at half).
    const std::filesystem::path& call() const { return call_; }
    const std::filesystem::path& microphone() const { return microphone_; }
    // What the far side says, alone.
    const std::filesystem::path& farEnd() const { return farEnd_; }
    // The near side's speech alone, as the microphone hears it.
    const std::filesystem::path& nearEnd() const { return nearEnd_; }
    double seconds() const { return seconds_; }

    // Where the scenario starts in `recorded`, in seconds: the best match of the energy
    // envelope of `track` (microphone() or nearEnd()) within the first `search` seconds.
    static double offsetOf(const std::vector<float>& recorded, const std::vector<float>& track,
                           double search = 6.0);
    static std::vector<float> samplesOf(const std::filesystem::path& wave);

    // A canceller's microphone channel before (`in`) and after (`out`), each starting its
    // offset before the scenario: the echo return loss enhancement during far-side-only
    // speech, and the near side's level in double talk against its level alone.
    struct Result {
        double erleDb = 0;
        double doubleTalkChangeDb = 0;
    };
    Result measure(const std::vector<float>& in, double inOffset, const std::vector<float>& out,
                   double outOffset) const;

    // Seconds [from, to) of the scenario.
    struct Window {
        double from = 0;
        double to = 0;
    };

private:
    std::filesystem::path call_;
    std::filesystem::path microphone_;
    std::filesystem::path farEnd_;
    std::filesystem::path nearEnd_;
    double seconds_ = 0;
    Window farOnly_;  // after kConvergence
    Window nearOnly_;
    Window doubleTalk_;
};

// The microphone channel before and after a canceller, in storage sized up front: the
// mixer's queue only copies into it.
struct MicrophoneTape {
    explicit MicrophoneTape(double seconds)
        : in(static_cast<std::size_t>(seconds * EchoScenario::kRate)), out(in.size()) {}
    std::vector<float> taken(const std::vector<float>& samples) const {
        return {samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(
                                                       size.load(std::memory_order_acquire))};
    }

    std::vector<float> in;
    std::vector<float> out;
    std::atomic<std::size_t> size{0};
};

// A canceller that tapes what passes through it.
class TapedCanceller final : public EchoCanceller {
public:
    TapedCanceller(std::unique_ptr<EchoCanceller> canceller, MicrophoneTape& tape)
        : canceller_(std::move(canceller)), tape_(tape) {}
    void process(float* nearEnd, const float* farEnd) noexcept override {
        const std::size_t at = tape_.size.load(std::memory_order_relaxed);
        const bool room = at + kFrameSize <= tape_.in.size();
        if (room)
            std::copy_n(nearEnd, kFrameSize, tape_.in.begin() + static_cast<std::ptrdiff_t>(at));
        canceller_->process(nearEnd, farEnd);
        if (!room) return;
        std::copy_n(nearEnd, kFrameSize, tape_.out.begin() + static_cast<std::ptrdiff_t>(at));
        tape_.size.store(at + kFrameSize, std::memory_order_release);
    }

private:
    std::unique_ptr<EchoCanceller> canceller_;
    MicrophoneTape& tape_;
};

}  // namespace kavo::testing

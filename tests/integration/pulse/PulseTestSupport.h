#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "audio/endpoints/CaptureEndpoint.h"
#include "base/Clock.h"
#include "base/SerialQueue.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseSourceEndpoint.h"
#include "support/EchoScenario.h"
#include "support/PulseDaemon.h"
#include "support/TempDir.h"
#include "support/ToneAmplitude.h"

namespace kavo::linux_platform::pulse_test {

inline std::uint64_t monotonicNow() {
    return SystemClock().hostTime();
}

// Seconds [from, to) of `samples` at `rate`: as many samples as the span holds, wherever it
// starts.
inline std::vector<float> secondsOf(const std::vector<float>& samples, double from, double to,
                                    double rate = 16'000) {
    from = std::max(0.0, from);
    const auto first = std::min(samples.size(), static_cast<std::size_t>(from * rate));
    const auto span = static_cast<std::size_t>(std::max(0.0, std::round((to - from) * rate)));
    return {samples.begin() + static_cast<std::ptrdiff_t>(first),
            samples.begin() + static_cast<std::ptrdiff_t>(std::min(samples.size(), first + span))};
}

// What one endpoint delivered, with the host time and arrival time of every buffer, in
// storage sized up front so that the audio thread only copies into it.
class Recording {
public:
    struct Buffer {
        std::size_t firstSample = 0;
        std::uint64_t hostTime = 0;
        std::uint64_t arrival = 0;
    };

    explicit Recording(std::size_t frames) : samples_(frames), buffers_(20'000) {}

    CaptureEndpoint::Sink sink() {
        return [this](const float* frames, std::int64_t count, std::uint64_t hostTime) {
            const std::size_t at = size_.load(std::memory_order_relaxed);
            const std::size_t index = bufferCount_.load(std::memory_order_relaxed);
            if (index == buffers_.size()) return;
            const std::size_t take =
                std::min(static_cast<std::size_t>(count), samples_.size() - at);
            std::copy(frames, frames + take, samples_.begin() + static_cast<std::ptrdiff_t>(at));
            buffers_[index] = {at, hostTime, monotonicNow()};
            bufferCount_.store(index + 1, std::memory_order_release);
            size_.store(at + take, std::memory_order_release);
        };
    }

    std::size_t size() const { return size_.load(std::memory_order_acquire); }
    // A fresh server stream can take a second or two before its first buffer.
    bool waitForAudio() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (size() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return size() > 0;
    }
    // Once delivery has stopped.
    std::vector<float> samples() const {
        return {samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(size())};
    }

    // The host time of a sample and the arrival of its buffer, in seconds.
    struct Stamp {
        double hostSeconds = 0;
        double arrivalSeconds = 0;
    };
    std::optional<Stamp> stampOf(double sample, double rate) const {
        const auto count = bufferCount_.load(std::memory_order_acquire);
        for (auto i = count; i-- > 0;) {
            const auto& buffer = buffers_[i];
            if (static_cast<double>(buffer.firstSample) > sample) continue;
            return Stamp{static_cast<double>(buffer.hostTime) / 1e9 +
                             (sample - static_cast<double>(buffer.firstSample)) / rate,
                         static_cast<double>(buffer.arrival) / 1e9};
        }
        return std::nullopt;
    }

private:
    std::vector<float> samples_;
    std::vector<Buffer> buffers_;
    std::atomic<std::size_t> size_{0};
    std::atomic<std::size_t> bufferCount_{0};
};

using testing::toneAmplitude;

// A case with an audio server of its own; one whose server cannot start fails.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            daemon_.emplace();
        } catch (const std::exception& error) {
            FAIL() << "The test audio server did not start: " << error.what();
        }
    }

    std::optional<testing::PulseDaemon> daemon_;
};

// Both endpoints on the product's own connection, each recording up to `seconds`.
struct EndpointPair {
    explicit EndpointPair(double seconds)
        : micRate(microphone.prepare()),
          systemRate(system.prepare()),
          mic(static_cast<std::size_t>(micRate * seconds)),
          out(static_cast<std::size_t>(systemRate * seconds)) {}
    // Starts both through `wrap` and waits for their first audio.
    void start(const std::function<CaptureEndpoint::Sink(CaptureEndpoint::Sink)>& wrap =
                   [](CaptureEndpoint::Sink sink) { return sink; }) {
        microphone.start(wrap(mic.sink()));
        system.start(wrap(out.sink()));
        ASSERT_TRUE(mic.waitForAudio());
        ASSERT_TRUE(out.waitForAudio());
    }
    void stop() {
        microphone.stop();
        system.stop();
    }

    PulseContext pulse;
    PulseSourceEndpoint microphone{pulse, PulseSourceEndpoint::Role::microphone};
    PulseSourceEndpoint system{pulse, PulseSourceEndpoint::Role::systemAudio};
    const double micRate;
    const double systemRate;
    Recording mic;
    Recording out;
};

// The product's audio platform on the test's server, with a directory for its captures.
struct PlatformRig {
    std::shared_ptr<CaptureSession> createSession() {
        return CaptureSession::create({.directory = captures.path(),
                                       .factory = platform.endpointFactory(),
                                       .devices = platform.devices(),
                                       .clock = clock});
    }

    SystemClock clock;
    PulseAudioPlatform platform;
    testing::TempDir captures;
};

}  // namespace kavo::linux_platform::pulse_test

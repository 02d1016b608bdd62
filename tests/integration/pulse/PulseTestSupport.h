#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

#include "audio/endpoints/CaptureEndpoint.h"
#include "base/Clock.h"
#include "base/SerialQueue.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"
#include "support/PulseDaemon.h"
#include "support/TempDir.h"

namespace kavo::linux_platform::pulse_test {

// What one endpoint delivered, in a buffer sized up front so that the audio thread only
// copies into it.
class Recording {
public:
    explicit Recording(std::size_t capacity) : samples_(capacity) {}

    CaptureEndpoint::Sink sink() {
        return [this](const float* frames, std::int64_t count, std::uint64_t hostTime) {
            const std::size_t at = size_.load(std::memory_order_relaxed);
            const std::size_t take = std::min(static_cast<std::size_t>(count), samples_.size() - at);
            std::copy(frames, frames + take, samples_.begin() + static_cast<std::ptrdiff_t>(at));
            if (firstHostTime_.load(std::memory_order_relaxed) == 0) firstHostTime_.store(hostTime);
            if (hostTime < lastHostTime_.load()) wentBack_.store(true);
            lastHostTime_.store(hostTime);
            lastIndex_.store(at);
            size_.store(at + take, std::memory_order_release);
        };
    }

    std::size_t size() const { return size_.load(std::memory_order_acquire); }
    // A fresh server stream can take a second or two before its first buffer.
    bool waitForAudio(std::chrono::milliseconds timeout = std::chrono::seconds(8)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (size() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return size() > 0;
    }
    double seconds(double rate) const { return static_cast<double>(size()) / rate; }
    std::uint64_t firstHostTime() const { return firstHostTime_.load(); }
    std::uint64_t lastHostTime() const { return lastHostTime_.load(); }
    bool hostTimeWentBack() const { return wentBack_.load(); }
    // Where the last buffer begins.
    std::size_t lastIndex() const { return lastIndex_.load(); }
    // Frames [from, to) in seconds of recording.
    std::vector<float> window(double rate, double fromSeconds, double toSeconds) const {
        const auto from = std::min(size(), static_cast<std::size_t>(fromSeconds * rate));
        const auto to = std::min(size(), static_cast<std::size_t>(toSeconds * rate));
        return {samples_.begin() + static_cast<std::ptrdiff_t>(from), samples_.begin() + static_cast<std::ptrdiff_t>(to)};
    }

private:
    std::vector<float> samples_;
    std::atomic<std::size_t> size_{0};
    std::atomic<std::uint64_t> firstHostTime_{0};
    std::atomic<std::uint64_t> lastHostTime_{0};
    std::atomic<std::size_t> lastIndex_{0};
    std::atomic<bool> wentBack_{false};
};

// The amplitude of the sine at `frequency` in `samples` (Goertzel).
inline double toneAmplitude(const std::vector<float>& samples, double rate, double frequency) {
    if (samples.empty()) return 0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    double previous = 0;
    double beforePrevious = 0;
    for (const float sample : samples) {
        const double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

// Counts calls and lets a test wait for them.
class CallCounter {
public:
    std::function<void()> callback() {
        return [this] {
            std::lock_guard lock(mutex_);
            ++count_;
            changed_.notify_all();
        };
    }
    bool waitFor(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        count_ = 0;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// A case with an audio server of its own: started before the case, and a case whose
// server cannot start fails rather than passing without one.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            daemon_.emplace();
        } catch (const std::exception& error) {
            FAIL() << "The test audio server did not start: " << error.what();
        }
    }

    void TearDown() override { daemon_.reset(); }

    std::optional<testing::PulseDaemon> daemon_;
};

// The product's audio platform on the test's server, with a directory for its captures.
struct PlatformRig {
    std::shared_ptr<CaptureSession> createSession() {
        return CaptureSession::create({.directory = captures.path(),
                                       .factory = platform.endpointFactory(),
                                       .hardware = platform.hardware(),
                                       .clock = clock});
    }

    SystemClock clock;
    SerialQueue utility{"pulse-test.utility"};
    PulseAudioPlatform platform{clock, utility};
    testing::TempDir captures;
};

// The samples of a 16-bit mono WAVE file, as floats.
inline std::vector<float> readSamples(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> samples;
    for (std::size_t at = 44; at + 1 < bytes.size(); at += 2) {
        std::int16_t sample = 0;
        std::memcpy(&sample, &bytes[at], 2);
        samples.push_back(static_cast<float>(sample) / 32768.0f);
    }
    return samples;
}

inline std::uint64_t monotonicNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace kavo::linux_platform::pulse_test

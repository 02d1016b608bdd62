#pragma once

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

namespace kavo {

// A PCM format as the audio engine states it for a node's bus or a tap.
struct AudioFormat {
    enum class SampleType { float32, int16, int32, float64, other };

    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    SampleType sampleType = SampleType::float32;
    bool interleaved = false;

    bool operator==(const AudioFormat&) const = default;

    // Mono 32-bit float, non-interleaved; none for a rate no engine can run at.
    static std::optional<AudioFormat> monoFloat(double rate) {
        if (!std::isfinite(rate) || rate <= 0) return std::nullopt;
        return AudioFormat{rate, 1, SampleType::float32, false};
    }

    // "2 ch, 48000 Hz, Float32, interleaved"
    std::string description() const {
        const char* type = "Unknown";
        switch (sampleType) {
            case SampleType::float32:
                type = "Float32";
                break;
            case SampleType::int16:
                type = "Int16";
                break;
            case SampleType::int32:
                type = "Int32";
                break;
            case SampleType::float64:
                type = "Float64";
                break;
            case SampleType::other:
                break;
        }
        return fmt::format("{} ch, {} Hz, {}, {}", channelCount, sampleRate, type,
                           interleaved ? "interleaved" : "non-interleaved");
    }
};

}  // namespace kavo

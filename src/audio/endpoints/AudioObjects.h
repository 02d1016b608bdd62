#pragma once

#include <cstdint>
#include <string>

namespace kavo {

// Identities and values of the audio hardware layer: objects (the system, devices, taps,
// processes) are numbered, every operation answers a signed 32-bit status (0 is
// success) and properties are named by four-character selectors. Every property is
// addressed at scope global, element main.
using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;
using AudioObjectPropertySelector = std::uint32_t;

inline constexpr OSStatus kAudioNoError = 0;
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

constexpr AudioObjectPropertySelector fourCharCode(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

namespace audio_property {
inline constexpr AudioObjectPropertySelector kDefaultInputDevice = fourCharCode("dIn ");
inline constexpr AudioObjectPropertySelector kDefaultOutputDevice = fourCharCode("dOut");
inline constexpr AudioObjectPropertySelector kDeviceList = fourCharCode("dev#");
inline constexpr AudioObjectPropertySelector kDeviceUID = fourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kSubDeviceList = fourCharCode("grup");
inline constexpr AudioObjectPropertySelector kNominalSampleRate = fourCharCode("nsrt");
inline constexpr AudioObjectPropertySelector kTapFormat = fourCharCode("tfmt");
inline constexpr AudioObjectPropertySelector kTranslatePIDToProcessObject = fourCharCode("id2p");
}  // namespace audio_property

inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1U << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1U << 5;

// The 40-byte stream description of a tap's format.
struct AudioStreamBasicDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
    std::uint32_t reserved = 0;

    bool isInterleaved() const { return (formatFlags & kAudioFormatFlagIsNonInterleaved) == 0; }
    bool operator==(const AudioStreamBasicDescription&) const = default;

    // Packed 32-bit float linear PCM, interleaved unless `interleaved` is false.
    static AudioStreamBasicDescription float32(double rate, std::uint32_t channels,
                                               bool interleaved = true) {
        const std::uint32_t frameBytes = interleaved ? 4 * channels : 4;
        return {rate,
                kAudioFormatLinearPCM,
                kAudioFormatFlagIsFloat | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved),
                frameBytes,
                1,
                frameBytes,
                channels,
                32,
                0};
    }
};

// When a buffer was captured. The host time (monotonic nanoseconds) counts only when
// `hostTimeValid` is set.
struct AudioTimeStamp {
    std::uint64_t hostTime = 0;
    bool hostTimeValid = false;
};

// The answer of one property read: the status, and the value when the status is 0.
template <typename T>
struct PropertyRead {
    OSStatus status = kAudioNoError;
    T value{};

    bool ok() const { return status == kAudioNoError; }
};

}  // namespace kavo

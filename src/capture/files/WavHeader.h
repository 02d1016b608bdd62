#pragma once

#include <array>
#include <cstdint>

namespace kavo::wav {

// Offsets of the two size fields a clean close or a repair fills in.
inline constexpr long kRiffSizeOffset = 4;
inline constexpr long kDataSizeOffset = 40;
inline constexpr long kBlockAlignOffset = 32;

using Header = std::array<std::uint8_t, 44>;

// The canonical 44-byte PCM header with both size fields 0.
Header makeHeader(int sampleRate, int channels, int bitsPerSample);

std::array<std::uint8_t, 4> littleEndian32(std::uint32_t value);
std::uint32_t readLittleEndian32(const std::uint8_t* bytes);
std::uint16_t readLittleEndian16(const std::uint8_t* bytes);

}  // namespace kavo::wav

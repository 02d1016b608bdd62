#include "capture/files/WavHeader.h"

#include <cstring>

namespace kavo::wav {
namespace {

void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t* at, std::uint32_t value) {
    const auto bytes = littleEndian32(value);
    std::memcpy(at, bytes.data(), bytes.size());
}

}  // namespace

Header makeHeader(int sampleRate, int channels, int bitsPerSample) {
    const int blockAlign = channels * bitsPerSample / 8;
    Header header{};
    std::memcpy(header.data(), "RIFF", 4);
    put32(header.data() + kRiffSizeOffset, 0);
    std::memcpy(header.data() + 8, "WAVEfmt ", 8);
    put32(header.data() + 16, 16);
    put16(header.data() + 20, 1);
    put16(header.data() + 22, static_cast<std::uint16_t>(channels));
    put32(header.data() + 24, static_cast<std::uint32_t>(sampleRate));
    put32(header.data() + 28, static_cast<std::uint32_t>(sampleRate * blockAlign));
    put16(header.data() + kBlockAlignOffset, static_cast<std::uint16_t>(blockAlign));
    put16(header.data() + 34, static_cast<std::uint16_t>(bitsPerSample));
    std::memcpy(header.data() + 36, "data", 4);
    put32(header.data() + kDataSizeOffset, 0);
    return header;
}

std::array<std::uint8_t, 4> littleEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>((value >> 16) & 0xFF),
            static_cast<std::uint8_t>(value >> 24)};
}

std::uint32_t readLittleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint16_t readLittleEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace kavo::wav

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavo {

// The CRC-64 Azure Storage checks in "x-ms-content-crc64" (CRC-64/NVME): reflected
// polynomial 0x9A6C9329AC4BC9B5, initial value and final XOR all ones. Carry-less
// multiply folding where the processor has it, sliced tables otherwise; both give the
// same values.
class Crc64 {
public:
    // Continues `crc` (the value returned for the bytes before) over `size` more bytes;
    // the CRC of nothing is 0.
    static std::uint64_t update(std::uint64_t crc, const void* data, std::size_t size);
    static std::uint64_t of(std::string_view bytes) {
        return update(0, bytes.data(), bytes.size());
    }

    // The table-only path, for tests and measurements on any processor.
    static std::uint64_t updateWithTables(std::uint64_t crc, const void* data, std::size_t size);
    static bool hasCarrylessMultiply();

    // The header value: standard base64 of the CRC's 8 bytes in little-endian order.
    static std::string headerValue(std::uint64_t crc);
};

}  // namespace kavo

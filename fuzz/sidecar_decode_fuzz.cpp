// Any bytes as a sidecar: decoding either succeeds or throws the sidecar's error, and what
// decodes encodes and decodes again to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "capture/files/CaptureSidecar.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto sidecar = kavo::CaptureSidecar::decode(text);
        const auto again = kavo::CaptureSidecar::decode(sidecar.encode());
        if (again.encode() != sidecar.encode()) std::abort();
    } catch (const kavo::Error&) {
    }
    return 0;
}

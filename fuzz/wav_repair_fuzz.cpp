// Any bytes as a capture file left behind, with this program's sidecar beside it or, when
// the first byte is odd, a sidecar of other audio: the repair either repairs it into this
// program's layout with sizes that match its length, or leaves every byte of both files
// as it was.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "capture/files/CaptureFormat.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavRepair.h"

namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::uint32_t u32At(const std::string& bytes, std::size_t at) {
    return kavo::wav::readLittleEndian32(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path folder = [] {
        std::string path = (std::filesystem::temp_directory_path() / "kavo-fuzz-XXXXXX").string();
        if (::mkdtemp(path.data()) == nullptr) std::abort();
        return std::filesystem::path(path);
    }();
    const auto file = folder / "capture-fuzz.wav";
    const auto sidecarFile = folder / "capture-fuzz.json";
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(original.data(), static_cast<std::streamsize>(original.size()));
    kavo::CaptureSidecar sidecar;
    sidecar.captureId = "fuzz";
    sidecar.audioFileName = "capture-fuzz.wav";
    sidecar.startedAt = "2026-03-02T09:15:00.000Z";
    sidecar.endedAt = "2026-03-02T09:16:00.000Z";
    if (size > 0 && (data[0] & 1) != 0) sidecar.sampleRateHz = 48'000;
    sidecar.write(sidecarFile);
    const std::string sidecarBefore = readAll(sidecarFile);

    const auto result = kavo::repairWavFile(file, kavo::PosixFileIO::system());
    const std::string after = readAll(file);
    if (readAll(sidecarFile) != sidecarBefore) std::abort();
    if (result.kind == kavo::WavRepairResult::Kind::repaired) {
        if (after.size() < 44) std::abort();
        kavo::wav::Header header{};
        std::memcpy(header.data(), after.data(), header.size());
        if (!kavo::CaptureFormat::isOwnHeader(header)) std::abort();
        if (u32At(after, 40) != after.size() - 44 || u32At(after, 4) != after.size() - 8)
            std::abort();
        if (after.compare(44, std::string::npos, original, 44, after.size() - 44) != 0)
            std::abort();
    } else if (after != original) {
        std::abort();
    }
    return 0;
}

// Any bytes as a capture file left behind: the repair either repairs it into a file whose
// sizes match its length, or reports a reason and leaves every byte as it was.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "capture/files/WavRepair.h"

namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path file = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "kavo-fuzz-XXXXXX").string();
        if (::mkdtemp(folder.data()) == nullptr) std::abort();
        return std::filesystem::path(folder) / "capture-fuzz.wav";
    }();
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(original.data(), static_cast<std::streamsize>(original.size()));

    const auto result = kavo::repairWavFile(file, kavo::PosixFileIO::system());
    const std::string after = readAll(file);
    if (result.kind == kavo::WavRepairResult::Kind::repaired) {
        if (after.size() < 44 || after.compare(0, 4, "RIFF") != 0) std::abort();
    } else if (after != original) {
        std::abort();
    }
    return 0;
}

#include "capture/files/CaptureFormat.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/PosixFileIO.h"

namespace kavo {
namespace {

bool sameExceptSizes(const wav::Header& a, const wav::Header& b) {
    return std::memcmp(a.data(), b.data(), wav::kRiffSizeOffset) == 0 &&
           std::memcmp(a.data() + 8, b.data() + 8, wav::kDataSizeOffset - 8) == 0;
}

// What a WAVE header says it holds, for telling the user why it is not a capture.
std::string describeWave(const wav::Header& header) {
    if (std::memcmp(header.data() + 12, "fmt ", 4) != 0 ||
        wav::readLittleEndian16(header.data() + 20) != 1) {
        return "a WAVE file in a layout this program does not record";
    }
    return fmt::format(
        "a {} Hz, {}-channel, {}-bit WAVE file", wav::readLittleEndian32(header.data() + 24),
        wav::readLittleEndian16(header.data() + 22), wav::readLittleEndian16(header.data() + 34));
}

}  // namespace

bool CaptureFormat::isOwnHeader(const wav::Header& header) {
    return sameExceptSizes(header, wav::makeHeader(kSampleRate, kChannels, kBitsPerSample));
}

bool CaptureFormat::describesOwnAudio(const CaptureSidecar& sidecar,
                                      const std::string& audioFileName) {
    return sidecar.audioFileName == audioFileName && sidecar.sampleRateHz == kSampleRate &&
           sidecar.channels == kChannels && sidecar.bitsPerSample == kBitsPerSample;
}

void CaptureFormat::verify(const CaptureArtifacts& artifacts) {
    const std::string name = artifacts.audioURL.filename().string();
    std::error_code error;
    const auto status = std::filesystem::symlink_status(artifacts.audioURL, error);
    if (status.type() == std::filesystem::file_type::not_found)
        throw CaptureFileError(
            fmt::format("The recording {} is no longer on this computer.", name));
    if (status.type() == std::filesystem::file_type::directory)
        throw CaptureFileError(fmt::format("{} is a folder, not a recording.", name));
    if (status.type() != std::filesystem::file_type::regular)
        throw CaptureFileError(fmt::format("{} is not a regular file, so not a recording.", name));

    const FileDescriptor file(
        ::open(artifacts.audioURL.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.get() < 0)
        throw CaptureFileError(fmt::format("Could not read {}: {}", name, std::strerror(errno)));
    const off_t size = ::lseek(file.get(), 0, SEEK_END);
    wav::Header header{};
    const ssize_t got = size < 0 ? -1 : ::pread(file.get(), header.data(), header.size(), 0);
    if (got < 0)
        throw CaptureFileError(fmt::format("Could not read {}: {}", name, std::strerror(errno)));
    if (got < static_cast<ssize_t>(header.size()) || std::memcmp(header.data(), "RIFF", 4) != 0 ||
        std::memcmp(header.data() + 8, "WAVE", 4) != 0) {
        throw CaptureFileError(fmt::format("{} is not a WAVE recording.", name));
    }
    if (!isOwnHeader(header)) {
        throw CaptureFileError(
            fmt::format("{} is {}, not a recording of this program (16000 Hz mono 16-bit).", name,
                        describeWave(header)));
    }
    const std::int64_t audioBytes = size - static_cast<std::int64_t>(header.size());
    const std::uint32_t declared = wav::readLittleEndian32(header.data() + wav::kDataSizeOffset);
    const std::uint32_t riff = wav::readLittleEndian32(header.data() + wav::kRiffSizeOffset);
    if (static_cast<std::int64_t>(declared) != audioBytes ||
        static_cast<std::int64_t>(riff) != size - 8) {
        throw CaptureFileError(
            fmt::format("The header of {} declares {} audio bytes, but the file holds {}.", name,
                        declared, audioBytes));
    }
    if (audioBytes == 0) throw CaptureFileError(fmt::format("{} holds no audio.", name));

    CaptureSidecar sidecar;
    try {
        sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    } catch (const SidecarError& failure) {
        throw CaptureFileError(
            fmt::format("The sidecar of {} cannot be used: {}", name, failure.what()));
    }
    if (sidecar.audioFileName != name) {
        throw CaptureFileError(fmt::format("The sidecar {} describes {}, not {}.",
                                           artifacts.sidecarURL.filename().string(),
                                           sidecar.audioFileName, name));
    }
    if (!describesOwnAudio(sidecar, name)) {
        throw CaptureFileError(fmt::format(
            "The sidecar of {} describes {} Hz, {}-channel, {}-bit audio, but the file is 16000 "
            "Hz mono 16-bit.",
            name, sidecar.sampleRateHz, sidecar.channels, sidecar.bitsPerSample));
    }
}

}  // namespace kavo
